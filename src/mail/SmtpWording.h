#pragma once

#include "mail/CredentialMask.h"
#include "mail/SmtpReply.h"

#include <QSsl>
#include <QString>

#include <chrono>

namespace corvane {

// What the SMTP client says in status lines and outcomes, for one server: the
// sentences in one place, and the server's own words always cleaned and
// masked before they go into one.
class SmtpWording {
public:
    SmtpWording() = default;
    SmtpWording(const QString &server, const CredentialMask &mask);

    // A reply's text fit for a status line; "550 5.1.1 text" with its code.
    QString text(const SmtpReply &reply) const;
    QString codeAndText(const SmtpReply &reply) const;
    QString cleaned(const QString &serverText) const;

    // Status lines.
    QString connecting() const;
    QString connected(bool encrypted, QSsl::SslProtocol protocol) const;
    QString encryptedWithStartTls(QSsl::SslProtocol protocol) const;
    QString clearTextWarning(bool token) const;
    QString loggedIn(const QString &userName) const;
    QString usingOpenConnection() const;
    QString noLoginOffered() const;
    QString recipientRefused(const QString &address, const SmtpReply &reply) const;
    QString serverReply(const SmtpReply &reply) const;
    QString accepted(int recipientsTaken, int recipients) const;
    QString sendingAgain(bool timedOut) const;
    QString sessionUsedUp(const SmtpReply &reply) const;

    // Why a connection could not be set up or ended.
    QString nameNotFound(const QString &host) const;
    QString nothingAnswers() const;
    QString cannotConnect(const QString &socketError) const;
    QString certificateNotTrusted(const QString &detail) const;
    QString handshakeFailed(const QString &detail, bool afterStartTls) const;
    QString noConnectionWithin(std::chrono::milliseconds limit) const;
    QString noAnswerWithin(std::chrono::milliseconds limit) const;
    QString noGreeting() const;
    QString closedUnexpectedly() const;
    QString brokeProtocol(const QString &failure) const;
    QString answeredUnsent(const SmtpReply &reply) const;
    QString connectionRefused(const SmtpReply &reply) const;
    QString requestRefused(const SmtpReply &reply) const;
    QString startTlsRefused(const SmtpReply &reply) const;
    QString startTlsMissing() const;
    QString passwordInClear() const;
    QString noOAuthMechanism(const QStringList &offered) const;
    QString noKnownMechanism(const QStringList &offered) const;
    // A refused sign-in; for a token, the provider's advice on the refusal
    // and on its last challenge.
    QString loginDenied(const SmtpReply &reply, bool token, const SmtpReply &tokenChallenge) const;

    // What became of one message.
    QString cancelled() const;
    QString tooLarge(qint64 size, qint64 limit) const;
    QString senderRefused(const QString &sender, const SmtpReply &reply) const;
    QString everyRecipientRefused() const;
    QString messageRefused(const SmtpReply &reply) const;
    QString closedBeforeConfirming() const;
    QString givenUpBeforeConfirming() const;
    QString didNotFinishWithin(std::chrono::milliseconds limit) const;

    static QString tlsVersion(QSsl::SslProtocol protocol);

private:
    QString m_server; // host:port as the operator knows it
    CredentialMask m_mask;
};

} // namespace corvane
