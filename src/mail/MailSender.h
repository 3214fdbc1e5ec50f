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

    // Thread-safe: makes a running send look at its cancel flag now and cuts
    // its connections, so nothing inside libcurl keeps waiting.
    void interrupt()
    {
        m_runner.interrupt();
        m_popRunner.interrupt();
    }
    // See CurlMultiRunner::setQuietHook.
    void setQuietHook(std::function<bool()> pending, std::function<void()> flush)
    {
        m_runner.setQuietHook(pending, flush);
        m_popRunner.setQuietHook(std::move(pending), std::move(flush));
    }
    // Drops kept connections without waiting for servers (closing down, or
    // after a send that ended in an exception).
    void abandon()
    {
        m_smtp.abandon();
        m_popRunner.abandonConnections();
    }

private:
    // Declared first: the clients below use them. The POP3 login has a runner
    // of its own so that it never closes the kept SMTP connection.
    CurlMultiRunner m_runner;
    CurlMultiRunner m_popRunner;
    MailOptions m_options;
    MailTimeouts m_timeouts;
    SmtpClient m_smtp;
    Pop3Login m_pop;
};

} // namespace corvane
