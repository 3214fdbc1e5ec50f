#pragma once

#include <QHostAddress>

namespace corvane::mail {

// Whether a password (or a sign-in token) may go to `server` over a
// connection without TLS: only to this machine or a private network, where
// nobody but the operator's own network can read it on the way. The SMTP and
// POP3 clients and the account check all ask this one rule.
bool clearTextLoginAllowed(const QHostAddress &server);

} // namespace corvane::mail
