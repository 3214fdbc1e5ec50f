#include "storage/TextCodec.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>

namespace corvane {

namespace {

// 0x80..0x9F; the rest of the code page is identical to Latin-1.
constexpr std::array<char16_t, 32> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

bool isValidUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    return !decoder.hasError();
}

QString decodeCp1252(const QByteArray &bytes)
{
    QString text;
    text.resize(bytes.size());
    QChar *out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out[i] = (b >= 0x80 && b <= 0x9F) ? QChar(kHighTable[b - 0x80]) : QChar(b);
    }
    return text;
}

QByteArray encodeCp1252(const QString &text, bool *ok)
{
    bool allMapped = true;
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
            bytes.append(static_cast<char>(u));
            continue;
        }
        bool found = false;
        for (std::size_t i = 0; i < kHighTable.size(); ++i) {
            if (kHighTable[i] == u) {
                bytes.append(static_cast<char>(0x80 + i));
                found = true;
                break;
            }
        }
        if (!found) {
            allMapped = false;
            bytes.append('?');
        }
    }
    if (ok)
        *ok = allMapped;
    return bytes;
}

bool readsAsUtf8(const QByteArray &bytes, bool hasBom)
{
    if (!isValidUtf8(bytes))
        return false;
    return systemWritesUtf8() || hasBom
        || std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

} // namespace corvane
