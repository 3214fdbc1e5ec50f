#pragma once

#include "mail/MailOptions.h"

#include <QString>

#include <functional>

namespace corvane {

class CurlMultiRunner;

// POP-before-SMTP: some servers accept mail only from an address that logged in
// to their POP3 server a moment before. Logs in, sends NOOP, logs out.
class Pop3Login {
public:
    struct Result {
        bool loggedIn = false;
        QString reason; // why not, in plain words
    };

    Pop3Login(CurlMultiRunner &runner, MailTimeouts timeouts, MailOptions options);

    Result run(const QString &server, const QString &userName, const QString &password,
               const std::function<void(const QString &)> &status, const std::function<bool()> &cancelled);

private:
    CurlMultiRunner &m_runner;
    MailTimeouts m_timeouts;
    MailOptions m_options;
};

} // namespace corvane
