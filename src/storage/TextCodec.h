#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Text at the program's edges (settings file, log, datagrams) is UTF-8 on
// Linux, but files and peers written for the Windows program use the system's
// ANSI code page, Windows-1252 in most places. Qt only decodes that code page
// with ICU, so the table lives here.

bool isValidUtf8(const QByteArray &bytes);

// Windows-1252 to Unicode; every byte maps to exactly one character. The five
// bytes the code page leaves undefined map to the C1 control of the same value,
// as Windows itself does, so no byte is ever lost.
QString decodeCp1252(const QByteArray &bytes);

// Unicode to Windows-1252. A character without a place in the code page becomes
// '?' and sets `*ok` to false, so the caller can choose UTF-8 instead.
QByteArray encodeCp1252(const QString &text, bool *ok);

// The system's code page for 8-bit text that is not UTF-8, from
// SystemCodePage_posix.cpp or SystemCodePage_win.cpp: on Windows the ANSI code
// page (GetACP), as older installations wrote their files; Windows-1252
// elsewhere, and where the system's is UTF-8 itself.
// Whether new text is written as UTF-8 (Linux) or in the code page (Windows).
bool systemWritesUtf8();
QString decodeSystemCodePage(const QByteArray &bytes);
// A character the code page cannot hold becomes '?' and sets `*ok` to false.
QByteArray encodeSystemCodePage(const QString &text, bool *ok);

// Whether bytes at the edges read as UTF-8: they must be valid UTF-8, and
// where new text is written in the code page they must also hold a byte
// beyond ASCII (or the mark `hasBom`), since plain ASCII reads the same both ways.
bool readsAsUtf8(const QByteArray &bytes, bool hasBom = false);

} // namespace corvane
