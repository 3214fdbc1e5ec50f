#include "storage/TextCodec.h"

namespace corvane {

// Linux writes UTF-8; what is not UTF-8 came from Windows programs, in the
// code page most of them use.

bool systemWritesUtf8()
{
    return true;
}

QString decodeSystemCodePage(const QByteArray &bytes)
{
    return decodeCp1252(bytes);
}

QByteArray encodeSystemCodePage(const QString &text, bool *ok)
{
    return encodeCp1252(text, ok);
}

} // namespace corvane
