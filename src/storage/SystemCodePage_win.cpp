#include "storage/TextCodec.h"

#include <windows.h>

namespace corvane {

namespace {

// The ANSI code page, read once: it changes only with a restart of Windows.
// One set to UTF-8 ("Beta: Use Unicode UTF-8") leaves Windows-1252 for the
// bytes that are not UTF-8, as on Linux.
UINT ansiCodePage()
{
    static const UINT codePage = [] {
        const UINT acp = GetACP();
        return acp == CP_UTF8 || !IsValidCodePage(acp) ? 0u : acp;
    }();
    return codePage;
}

} // namespace

bool systemWritesUtf8()
{
    return ansiCodePage() == 0;
}

QString decodeSystemCodePage(const QByteArray &bytes)
{
    const UINT codePage = ansiCodePage();
    if (codePage == 0 || codePage == 1252 || bytes.isEmpty())
        return decodeCp1252(bytes);
    const int size = static_cast<int>(bytes.size());
    const int wide = MultiByteToWideChar(codePage, 0, bytes.constData(), size, nullptr, 0);
    QString text(wide, Qt::Uninitialized);
    MultiByteToWideChar(codePage, 0, bytes.constData(), size, reinterpret_cast<wchar_t *>(text.data()), wide);
    return text;
}

QByteArray encodeSystemCodePage(const QString &text, bool *ok)
{
    const UINT codePage = ansiCodePage();
    if (codePage == 0 || codePage == 1252 || text.isEmpty())
        return encodeCp1252(text, ok);
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int size = static_cast<int>(text.size());
    BOOL lossy = FALSE;
    // No best fit: "ö" must not quietly become "o" where the code page lacks it.
    const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, size, nullptr, 0, "?", &lossy);
    QByteArray bytes(length, Qt::Uninitialized);
    WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, size, bytes.data(), length, "?", &lossy);
    if (ok)
        *ok = !lossy;
    return bytes;
}

} // namespace corvane
