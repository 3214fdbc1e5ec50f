#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace corvane::mail {

// Control characters (CR, LF, TAB, DEL, C1, line separators) become spaces, so
// text from a datagram can never start a header of its own.
QString replaceControls(const QString &text);

// An unstructured header value (Subject): plain ASCII folded at spaces, anything
// else as RFC 2047 "=?UTF-8?B?...?=" words. `used` is the length of "Name: "
// already on the first line. Lines stay within 78 characters where a space allows.
QByteArray encodeHeaderText(const QString &text, int used);

// A display name in front of an address: an atom, a quoted string, or RFC 2047
// words when it holds anything but ASCII. `used` as for encodeHeaderText.
QByteArray encodeDisplayName(const QString &name, int used);

// CR LF, bare CR and bare LF all become CR LF; the result ends with CR LF.
QByteArray normaliseLineEnds(const QByteArray &text);

// Quoted-printable (RFC 2045) of text whose lines end in CR LF: lines of at most
// 76 characters, line ends kept as hard breaks, trailing white space encoded.
QByteArray encodeQuotedPrintable(const QByteArray &crlfText);

// RFC 5322 date ("Mon, 07 Dec 2026 04:42:32 +0100"), English names whatever the locale.
QByteArray formatDate(const QDateTime &when);

} // namespace corvane::mail
