#pragma once

#include <QHostAddress>
#include <QString>

#include <chrono>

namespace corvane::mail {

// The name we give ourselves in EHLO and in Message-IDs: `configured`, or
// else this machine's host name, kept to the characters a host name may hold;
// "localhost" when nothing is left.
QString localHostName(const QString &configured);

// Loopback, RFC 1918, RFC 4193 and link-local addresses: servers on this
// machine or on a private network.
bool isLocalOrPrivate(const QHostAddress &address);

// "30 seconds", "1 second", "5 minutes".
QString durationText(std::chrono::milliseconds ms);

} // namespace corvane::mail
