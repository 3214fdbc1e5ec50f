#include "mail/SmtpWording.h"

#include "mail/MailEncoding.h"
#include "mail/MailNetwork.h"
#include "mail/OAuthErrors.h"

#include <QStringList>

namespace corvane {

SmtpWording::SmtpWording(const QString &server, const CredentialMask &mask) : m_server(server), m_mask(mask) {}

QString SmtpWording::text(const SmtpReply &reply) const
{
    return cleaned(reply.lines.join(QLatin1Char(' ')));
}

QString SmtpWording::codeAndText(const SmtpReply &reply) const
{
    return QStringLiteral("%1 %2").arg(reply.code).arg(text(reply)).trimmed();
}

QString SmtpWording::cleaned(const QString &serverText) const
{
    return mail::cleanServerText(serverText, m_mask);
}

QString SmtpWording::tlsVersion(QSsl::SslProtocol protocol)
{
    switch (protocol) {
    case QSsl::TlsV1_2: return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3: return QStringLiteral("TLSv1.3");
    default: return QStringLiteral("TLS");
    }
}

// --- status lines ------------------------------------------------------------------

QString SmtpWording::connecting() const
{
    return QStringLiteral("Connecting to %1").arg(m_server);
}

QString SmtpWording::connected(bool encrypted, QSsl::SslProtocol protocol) const
{
    if (encrypted)
        return QStringLiteral("Connected to %1 with TLS (%2)").arg(m_server, tlsVersion(protocol));
    return QStringLiteral("Connected to %1 (not encrypted)").arg(m_server);
}

QString SmtpWording::encryptedWithStartTls(QSsl::SslProtocol protocol) const
{
    return QStringLiteral("Connection encrypted with STARTTLS (%1)").arg(tlsVersion(protocol));
}

QString SmtpWording::clearTextWarning(bool token) const
{
    return token ? QStringLiteral("Warning: the sign-in token goes to the server unencrypted")
                 : QStringLiteral("Warning: the password goes to the server unencrypted");
}

QString SmtpWording::loggedIn(const QString &userName) const
{
    return QStringLiteral("Logged in as %1").arg(mail::replaceControls(userName));
}

QString SmtpWording::usingOpenConnection() const
{
    return QStringLiteral("Using the open connection to %1").arg(m_server);
}

QString SmtpWording::noLoginOffered() const
{
    return QStringLiteral("The server offers no login; sending without logging in");
}

QString SmtpWording::recipientRefused(const QString &address, const SmtpReply &reply) const
{
    return QStringLiteral("Recipient refused by the server: %1 (%2 %3)").arg(address).arg(reply.code).arg(text(reply));
}

QString SmtpWording::serverReply(const SmtpReply &reply) const
{
    return QStringLiteral("Server reply: %1 %2").arg(reply.code).arg(text(reply));
}

QString SmtpWording::accepted(int recipientsTaken, int recipients) const
{
    return QStringLiteral("Message accepted by the server for %1 of %2 recipient%3")
        .arg(recipientsTaken)
        .arg(recipients)
        .arg(recipients == 1 ? QString() : QStringLiteral("s"));
}

QString SmtpWording::sendingAgain(bool timedOut) const
{
    return timedOut ? QStringLiteral("The open connection to %1 did not answer; connecting again").arg(m_server)
                    : QStringLiteral("The server had closed the open connection; connecting again");
}

QString SmtpWording::sessionUsedUp(const SmtpReply &reply) const
{
    return QStringLiteral("The server takes no more messages on this connection (%1); sending on a new one")
        .arg(codeAndText(reply));
}

// --- the connection ----------------------------------------------------------------

QString SmtpWording::nameNotFound(const QString &host) const
{
    return QStringLiteral("The server name %1 cannot be found").arg(host);
}

QString SmtpWording::nothingAnswers() const
{
    return QStringLiteral("Cannot connect to %1: nothing answers there").arg(m_server);
}

QString SmtpWording::cannotConnect(const QString &socketError) const
{
    return QStringLiteral("Cannot connect to %1: %2").arg(m_server, socketError);
}

QString SmtpWording::certificateNotTrusted(const QString &detail) const
{
    return QStringLiteral("The certificate of %1 is not trusted: %2").arg(m_server, detail);
}

QString SmtpWording::handshakeFailed(const QString &detail, bool afterStartTls) const
{
    if (afterStartTls)
        return QStringLiteral("The TLS handshake with %1 failed: %2; a server that offers encryption gets nothing "
                              "without it")
            .arg(m_server, detail);
    return QStringLiteral("The TLS handshake with %1 failed: %2").arg(m_server, detail);
}

QString SmtpWording::noConnectionWithin(std::chrono::milliseconds limit) const
{
    return QStringLiteral("No connection to %1 within %2").arg(m_server, mail::durationText(limit));
}

QString SmtpWording::noAnswerWithin(std::chrono::milliseconds limit) const
{
    return QStringLiteral("No answer from the server within %1").arg(mail::durationText(limit));
}

QString SmtpWording::noGreeting() const
{
    return QStringLiteral("The server at %1 closed the connection without a greeting").arg(m_server);
}

QString SmtpWording::closedUnexpectedly() const
{
    return QStringLiteral("The server closed the connection unexpectedly");
}

QString SmtpWording::brokeProtocol(const QString &failure) const
{
    return QStringLiteral("The server at %1 broke the protocol: %2").arg(m_server, cleaned(failure));
}

QString SmtpWording::answeredUnsent(const SmtpReply &reply) const
{
    return QStringLiteral("The server at %1 broke the protocol: it answered a command that was not sent (%2)")
        .arg(m_server, codeAndText(reply));
}

QString SmtpWording::connectionRefused(const SmtpReply &reply) const
{
    return QStringLiteral("The server refused the connection (%1)").arg(codeAndText(reply));
}

QString SmtpWording::requestRefused(const SmtpReply &reply) const
{
    return QStringLiteral("The server refused the request (%1)").arg(codeAndText(reply));
}

QString SmtpWording::startTlsRefused(const SmtpReply &reply) const
{
    return QStringLiteral("The server refused to start TLS (%1)").arg(codeAndText(reply));
}

QString SmtpWording::startTlsMissing() const
{
    return QStringLiteral("The server at %1 does not offer encryption (STARTTLS), which this server setting requires")
        .arg(m_server);
}

QString SmtpWording::passwordInClear() const
{
    return QStringLiteral("Nothing was sent: the server at %1 offers no encryption (STARTTLS) and is not on this "
                          "machine or a private network, so the password would cross the network in the clear. Use "
                          "port 587 or 465, or write smtps:// in front of the server")
        .arg(m_server);
}

QString SmtpWording::noOAuthMechanism(const QStringList &offered) const
{
    return QStringLiteral("The server at %1 offers no OAuth sign-in (XOAUTH2 or OAUTHBEARER), only: %2")
        .arg(m_server, cleaned(offered.join(QLatin1Char(' '))));
}

QString SmtpWording::noKnownMechanism(const QStringList &offered) const
{
    return QStringLiteral("Login denied by the server: it offers no sign-in this program knows (%1)")
        .arg(cleaned(offered.join(QLatin1Char(' '))));
}

QString SmtpWording::loginDenied(const SmtpReply &reply, bool token, const SmtpReply &tokenChallenge) const
{
    QString explanation = QStringLiteral("Login denied by the server (%1)").arg(codeAndText(reply));
    if (!token)
        return explanation;
    // The provider's own words on a refused token name what to set up.
    for (const SmtpReply &said : {tokenChallenge, reply}) {
        const QString advice = said.received() ? describeOAuthSmtpRefusal(said) : QString();
        if (!advice.isEmpty())
            explanation += QLatin1Char(' ') + mail::replaceControls(m_mask.apply(advice));
    }
    return explanation;
}

// --- one message ---------------------------------------------------------------------

QString SmtpWording::cancelled() const
{
    return QStringLiteral("Sending cancelled: the program is closing");
}

QString SmtpWording::tooLarge(qint64 size, qint64 limit) const
{
    return QStringLiteral("The message is larger than the server at %1 takes (%2 bytes, at most %3): nothing was sent")
        .arg(m_server)
        .arg(size)
        .arg(limit);
}

QString SmtpWording::senderRefused(const QString &sender, const SmtpReply &reply) const
{
    if (reply.code == 530)
        return QStringLiteral("The server takes mail only after a login (%1)").arg(codeAndText(reply));
    return QStringLiteral("The server refused the sender address %1 (%2)").arg(sender, codeAndText(reply));
}

QString SmtpWording::everyRecipientRefused() const
{
    return QStringLiteral("The server refused every recipient");
}

QString SmtpWording::messageRefused(const SmtpReply &reply) const
{
    return QStringLiteral("The server refused the message (%1)").arg(codeAndText(reply));
}

QString SmtpWording::closedBeforeConfirming() const
{
    return QStringLiteral("The server closed the connection before confirming the message");
}

QString SmtpWording::givenUpBeforeConfirming() const
{
    return QStringLiteral("The connection was given up before the server confirmed the message");
}

QString SmtpWording::didNotFinishWithin(std::chrono::milliseconds limit) const
{
    return QStringLiteral("The send did not finish within %1").arg(mail::durationText(limit));
}

} // namespace corvane
