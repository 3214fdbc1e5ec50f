#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>

namespace corvane {

struct MailTimeouts {
    std::chrono::milliseconds connect{30'000};
    std::chrono::milliseconds serverReply{60'000};   // no reply at all for this long fails
    std::chrono::milliseconds lowSpeedWindow{60'000}; // under 1 byte/s for this long fails
    std::chrono::milliseconds wholeAttempt{300'000};
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
    // machine's host name.
    QString heloName;
    // The time for the Date header; tests put in their own.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
};

} // namespace corvane
