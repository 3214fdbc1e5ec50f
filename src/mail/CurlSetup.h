#pragma once

#include "mail/CurlMultiRunner.h"
#include "mail/MailOptions.h"
#include "mail/ServerEndpoint.h"

#include <QHostAddress>
#include <QString>

#include <chrono>

namespace corvane::mail {

// What the SMTP and POP3 transactions set up the same way on their easy
// handles: the server, TLS and its checks, no proxy, no signals, a name lookup
// that can be abandoned, libcurl's own limits as a backstop behind the runner's
// clock, and the age after which an idle connection is not used again.
void applyCommonOptions(CURL *easy, const QByteArray &url, const ServerEndpoint &endpoint, long useSsl,
                        const MailOptions &options, const MailTimeouts &timeouts,
                        std::chrono::milliseconds timeLeft, char *errorBuffer);

// The runner's limits for one transfer with `timeLeft` of the attempt left.
CurlMultiRunner::Limits limitsFor(const MailTimeouts &timeouts, std::chrono::milliseconds timeLeft);

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
