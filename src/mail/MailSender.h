#pragma once

#include "mail/CurlMultiRunner.h"
#include "mail/MailOptions.h"
#include "mail/MailProperties.h"
#include "mail/Pop3Login.h"
#include "mail/SmtpClient.h"

#include <functional>

namespace corvane {

class MailEventSink;

// One send from properties to outcome: checks the input, logs in to POP3 when
// asked, builds the message and hands it to the SMTP client. Ends every send
// with exactly one succeeded() or failed(). Lives on the worker thread.
class MailSender {
public:
    MailSender(MailTimeouts timeouts, MailOptions options);

    void send(const MailProperties &properties, MailEventSink &events, const std::function<bool()> &cancelled);

    // Thread-safe: makes a running send look at its cancel flag now.
    void wake() { m_runner.wake(); }
    // See CurlMultiRunner::setQuietHook.
    void setQuietHook(std::function<bool()> pending, std::function<void()> flush)
    {
        m_runner.setQuietHook(std::move(pending), std::move(flush));
    }
    // The program is closing: drop kept connections without waiting for servers.
    void abandon()
    {
        m_runner.abandonConnections();
        m_smtp.forget();
    }

    // Status lines never show the password, whatever a server echoes back.
    static QString redact(const QString &line, const QString &userName, const QString &password);

private:
    CurlMultiRunner m_runner; // declared first: the clients below use it
    MailOptions m_options;
    MailTimeouts m_timeouts;
    SmtpClient m_smtp;
    Pop3Login m_pop;
};

} // namespace corvane
