#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>

namespace corvane {

class TokenProvider;

// Every limit is kept by the component's own clock, so a stall ends when the
// status line says it did, whatever the step of the dialogue.
struct MailTimeouts {
    std::chrono::milliseconds connect{30'000};      // name lookup and TCP connect (and TLS for smtps)
    std::chrono::milliseconds serverReply{60'000};  // nothing sent or received for this long fails
    std::chrono::milliseconds wholeAttempt{300'000};
    // An open connection taken up again that does not answer its first command
    // within this is given up and the message goes out on a new one: a
    // firewall may have dropped it silently while it was idle.
    std::chrono::milliseconds reusedFirstReply{5'000};
    // Idle connections older than this are not taken up again.
    std::chrono::milliseconds idleConnectionAge{30'000};
    // How long closing a kept connection waits for the server's answer to QUIT.
    std::chrono::milliseconds politeClose{2'000};
};

// How the component reaches servers, beyond the per-message properties.
struct MailOptions {
    // Keep the connection open between consecutive messages to the same server
    // with the same account; off: one SMTP session per message.
    bool reuseConnection = true;
    // Certificate authorities (a PEM file) to check servers against instead of
    // the system's store, for sites with a private CA; empty: the system's store.
    QString caFile;
    // Our name in EHLO and in Message-IDs without a sender domain; empty: this
    // machine's host name (see mail::localHostName).
    QString heloName;
    // The time for the Date header; tests put in their own.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
    // Where bearer tokens for an OAuth sign-in come from (not owned); none:
    // a message that signs in with OAuth fails.
    TokenProvider *tokens = nullptr;
};

} // namespace corvane
