#pragma once

#include <QString>
#include <QStringList>

namespace corvane::mail {

// The recipients text split at the separator (";" when none is set), each piece
// trimmed of spaces; empty pieces are dropped.
QStringList splitRecipients(const QString &text, const QString &separator);

// The text without leading and trailing spaces (code 32 only: a tab or other
// blank is part of what was typed).
QString trimSpaces(const QString &text);

// Why an address cannot go into MAIL FROM / RCPT TO, or an empty string when it
// can. libcurl passes the address through as it is, so a CR LF, a space or an
// angle bracket would let the text add SMTP commands of its own.
QString envelopeProblem(const QString &address);
inline constexpr int MaxAddressBytes = 254;

// The address with control characters shown as '?', for a status line.
QString printable(const QString &address);

// A server setting for a status line, without whatever was typed in front of
// an '@' (a user name and password never belong there, but people try).
QString settingForDisplay(const QString &setting);

} // namespace corvane::mail
