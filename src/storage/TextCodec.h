#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Text at the program's edges (settings file, datagrams) is UTF-8 today, but
// files and peers written for the Windows program send Windows-1252. Qt only
// decodes that code page with ICU, so the table lives here.

bool isValidUtf8(const QByteArray &bytes);

// Windows-1252 to Unicode; every byte maps to exactly one character. The five
// bytes the code page leaves undefined map to the C1 control of the same value,
// as Windows itself does, so no byte is ever lost.
QString decodeCp1252(const QByteArray &bytes);

// Unicode to Windows-1252. A character without a place in the code page becomes
// '?' and sets `*ok` to false, so the caller can choose UTF-8 instead.
QByteArray encodeCp1252(const QString &text, bool *ok);

// UTF-8 when the bytes are valid UTF-8, otherwise Windows-1252.
QString decodeUtf8OrCp1252(const QByteArray &bytes, bool *wasUtf8 = nullptr);

} // namespace corvane
