#include "mail/MailSender.h"

#include "mail/CurlSetup.h"
#include "mail/MailAddresses.h"
#include "mail/MailEncoding.h"
#include "mail/MailEventSink.h"
#include "mail/MimeMessage.h"
#include "mail/ServerEndpoint.h"

#include <QElapsedTimer>

namespace corvane {

namespace {

MailOptions withLocalName(MailOptions options)
{
    // One cleaned name for EHLO and for Message-IDs.
    options.heloName = mail::localHostName(options.heloName);
    if (!options.clock)
        options.clock = [] { return QDateTime::currentDateTime(); };
    return options;
}

} // namespace

MailSender::MailSender(MailTimeouts timeouts, MailOptions options)
    : m_options(withLocalName(std::move(options))),
      m_timeouts(timeouts),
      m_smtp(m_runner, timeouts, m_options),
      m_pop(m_popRunner, timeouts, m_options)
{
}

void MailSender::send(const MailProperties &p, MailEventSink &events, const std::function<bool()> &cancelled)
{
    // Text from servers is masked where it enters (SmtpTranscript, Pop3Login);
    // the lines themselves are the program's own words.
    auto status = [&](const QString &line) { events.status(line); };
    auto fail = [&](const QString &reason) {
        status(reason);
        events.failed(reason);
    };

    QElapsedTimer clock;
    clock.start();

    const bool noServer = p.smtpHost.trimmed().isEmpty();
    const bool noSender = p.senderAddress.trimmed().isEmpty();
    if (noServer && noSender)
        return fail(QStringLiteral("No SMTP server and no sender address are set: nothing was sent"));
    if (noServer)
        return fail(QStringLiteral("No SMTP server is set: nothing was sent"));
    if (noSender)
        return fail(QStringLiteral("No sender address is set: nothing was sent"));
    const ServerEndpoint endpoint = ServerEndpoint::parse(p.smtpHost, MailProtocol::Smtp);
    if (!endpoint.valid)
        return fail(QStringLiteral("The SMTP server setting \"%1\" cannot be used: %2")
                        .arg(mail::settingForDisplay(p.smtpHost), endpoint.problem));

    const QString sender = mail::trimSpaces(p.senderAddress);
    const QString senderProblem = mail::envelopeProblem(sender);
    if (!senderProblem.isEmpty())
        return fail(QStringLiteral("The sender address \"%1\" cannot be used: %2")
                        .arg(mail::printable(sender), senderProblem));

    QStringList recipients;
    for (const QString &address : mail::splitRecipients(p.recipients, p.addressSeparator)) {
        const QString problem = mail::envelopeProblem(address);
        if (problem.isEmpty())
            recipients.append(address);
        else
            status(QStringLiteral("Recipient skipped: \"%1\" cannot be used: %2").arg(mail::printable(address), problem));
    }
    if (recipients.isEmpty())
        return fail(QStringLiteral("No recipient address to send to: nothing was sent"));

    if (p.popLogin) {
        if (p.pop3Host.trimmed().isEmpty()) {
            status(QStringLiteral("POP3 login skipped: no POP3 server is set"));
        } else {
            const Pop3Login::Result pop = m_pop.run(p.pop3Host, p.userName, p.password, status, cancelled);
            if (cancelled())
                return fail(QStringLiteral("Sending cancelled: the program is closing"));
            if (pop.loggedIn)
                status(QStringLiteral("POP3 login succeeded as %1").arg(mail::replaceControls(p.userName)));
            else
                status(QStringLiteral("POP3 login failed: %1; sending anyway").arg(pop.reason));
        }
    }
    if (p.serverLogin && p.userName.isEmpty())
        status(QStringLiteral("Server login is on but no user name is set; sending without logging in"));

    MimeMessage message;
    message.senderName = p.senderName;
    message.senderAddress = sender;
    message.recipients = recipients;
    message.subject = p.subject;
    message.body = p.messageText;
    message.html = p.html && p.encodingType != 1; // the old non-MIME mode could only carry plain text
    message.priority = p.priority;
    message.returnReceipt = p.returnReceipt;
    message.date = m_options.clock();
    message.messageIdDomain = MimeMessage::idDomain(sender, m_options.heloName);

    SmtpClient::Request request;
    request.endpoint = endpoint;
    request.login = p.serverLogin;
    request.userName = p.userName;
    request.password = p.password;
    request.sender = sender;
    request.recipients = recipients;
    request.message = message.build();
    // The POP3 login counts against the same limit for the whole attempt.
    request.timeLeft = m_timeouts.wholeAttempt - std::chrono::milliseconds(clock.elapsed());
    if (request.timeLeft.count() <= 0)
        return fail(QStringLiteral("The send did not finish within the time allowed"));

    // A retry on a new connection starts counting again: report changes only.
    int lastPercent = -1;
    auto progress = [&](int percent) {
        if (percent != lastPercent) {
            lastPercent = percent;
            events.progress(percent);
        }
    };
    const SmtpClient::Outcome outcome = m_smtp.send(request, status, progress, cancelled);
    if (!outcome.delivered)
        return fail(outcome.reason);
    status(QStringLiteral("Message accepted by the server for %1 of %2 recipient%3")
               .arg(outcome.accepted)
               .arg(recipients.size())
               .arg(recipients.size() == 1 ? QString() : QStringLiteral("s")));
    events.succeeded();
}

} // namespace corvane
