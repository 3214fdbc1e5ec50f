#include "mail/MailRequest.h"

#include "mail/CaFileCache.h"
#include "mail/MailAddresses.h"
#include "mail/MailEncoding.h"
#include "mail/MimeMessage.h"

#include <QSslCertificate>

namespace corvane {

MailRequest MailRequest::fromProperties(const MailProperties &p, const MailOptions &options, CaFileCache &cache)
{
    MailRequest r;
    const bool noServer = p.smtpHost.trimmed().isEmpty();
    const bool noSender = p.senderAddress.trimmed().isEmpty();
    if (noServer && noSender) {
        r.failure = QStringLiteral("No SMTP server and no sender address are set: nothing was sent");
        return r;
    }
    if (noServer) {
        r.failure = QStringLiteral("No SMTP server is set: nothing was sent");
        return r;
    }
    if (noSender) {
        r.failure = QStringLiteral("No sender address is set: nothing was sent");
        return r;
    }
    const ServerEndpoint endpoint = ServerEndpoint::parse(p.smtpHost, MailProtocol::Smtp);
    if (!endpoint.valid) {
        r.failure = QStringLiteral("The SMTP server setting \"%1\" cannot be used: %2")
                        .arg(mail::settingForDisplay(p.smtpHost), endpoint.problem);
        return r;
    }
    const QString sender = mail::trimSpaces(p.senderAddress);
    const QString senderProblem = mail::envelopeProblem(sender);
    if (!senderProblem.isEmpty()) {
        r.failure = QStringLiteral("The sender address \"%1\" cannot be used: %2")
                        .arg(mail::printable(sender), senderProblem);
        return r;
    }

    QStringList recipients;
    for (const QString &address : mail::splitRecipients(p.recipients, p.addressSeparator)) {
        const QString problem = mail::envelopeProblem(address);
        if (problem.isEmpty())
            recipients.append(address);
        else
            r.notes << QStringLiteral("Recipient skipped: \"%1\" cannot be used: %2").arg(mail::printable(address), problem);
    }
    if (recipients.isEmpty()) {
        r.failure = QStringLiteral("No recipient address to send to: nothing was sent");
        r.failurePhase = MailPhase::Rcpt;
        return r;
    }

    QList<QSslCertificate> authorities;
    const QString caFile = p.caFile.trimmed().isEmpty() ? options.caFile : p.caFile.trimmed();
    if (!caFile.isEmpty()) {
        authorities = cache.load(caFile);
        if (authorities.isEmpty())
            r.notes << QStringLiteral("The CA file %1 holds no certificate that can be read; using the system's "
                                      "certificate authorities only")
                           .arg(mail::printable(caFile));
    }

    if (p.popLogin) {
        if (p.pop3Host.trimmed().isEmpty()) {
            r.notes << QStringLiteral("POP3 login skipped: no POP3 server is set");
        } else {
            r.popLogin = true;
            r.pop3Host = p.pop3Host;
        }
    }
    if (p.serverLogin && !p.signInProblem.isEmpty()) {
        r.failure = p.signInProblem;
        return r;
    }
    if (p.serverLogin && !p.signIn.isEmpty()) {
        if (p.userName.isEmpty()) {
            r.failure = QStringLiteral("OAuth sign-in needs the mailbox as the user name: nothing was sent");
            return r;
        }
        r.useOAuth = true;
        r.signIn = p.signIn;
    } else if (p.serverLogin && p.userName.isEmpty()) {
        r.notes << QStringLiteral("Server login is on but no user name is set; sending without logging in");
    }

    MimeMessage message;
    message.senderName = p.senderName;
    message.senderAddress = sender;
    message.recipients = recipients;
    message.subject = p.subject;
    message.body = p.messageText;
    message.html = p.html && p.encodingType != 1; // the old non-MIME mode could only carry plain text
    message.priority = p.priority;
    message.returnReceipt = p.returnReceipt;
    message.date = options.clock();
    message.messageIdDomain = MimeMessage::idDomain(sender, options.heloName);
    message.messageId = MimeMessage::isMessageId(p.messageId) ? p.messageId
                                                        : MimeMessage::newMessageId(message.messageIdDomain);

    r.account.endpoint = endpoint;
    r.account.heloName = options.heloName;
    r.account.login = p.serverLogin;
    r.account.userName = p.userName;
    r.account.password = r.useOAuth ? QString() : p.password; // OAuth never falls back to it
    r.account.caCertificates = authorities;
    r.message.sender = sender;
    r.message.recipients = recipients;
    r.message.data = message.build();
    r.messageId = message.messageId;
    return r;
}

} // namespace corvane
