#include "mail/OAuthErrors.h"

#include "mail/CredentialMask.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace corvane {

namespace {

const QString kMailboxPermission =
    QStringLiteral("Exchange Online does not let the application send as this mailbox: register its service "
                   "principal (New-ServicePrincipal with the Enterprise application's object id) and give it the "
                   "mailbox (Add-MailboxPermission).");

} // namespace

QString describeOAuthSmtpRefusal(const SmtpReply &reply)
{
    if (reply.code == 334) {
        // RFC 7628's error challenge: base64 JSON with the status and the scope wanted.
        const QByteArray decoded = QByteArray::fromBase64(reply.lines.value(0).toLatin1());
        const QJsonObject challenge = QJsonDocument::fromJson(decoded).object();
        if (challenge.isEmpty())
            return QString();
        const QString scope = mail::cleanServerText(challenge.value(QLatin1String("scope")).toString());
        const QJsonValue status = challenge.value(QLatin1String("status"));
        return QStringLiteral("The server refused the token (status %1%2). Check that the token is for this mailbox "
                              "and that the application may use %3.")
            .arg(status.isDouble() ? QString::number(status.toInt()) : mail::cleanServerText(status.toString()),
                 scope.isEmpty() ? QString() : QStringLiteral(", scope ") + scope,
                 scope.isEmpty() ? QStringLiteral("the mail scope") : scope);
    }
    const QString code = QString::number(reply.code) + QLatin1Char(' ') + reply.enhanced;
    if (code == QLatin1String("535 5.7.3"))
        return kMailboxPermission;
    if (code == QLatin1String("535 5.7.139"))
        return QStringLiteral("SMTP AUTH is off for the tenant or this mailbox: turn on Authenticated SMTP for it "
                              "(Set-CASMailbox -SmtpClientAuthenticationDisabled $false).");
    if (code == QLatin1String("550 5.7.30"))
        return QStringLiteral("The server takes no password sign-in: sign in with OAuth instead.");
    if (code == QLatin1String("535 5.7.8"))
        return QStringLiteral("The server refused the token: check that the user name is the mailbox the token was "
                              "issued for and that it carries the mail scope.");
    return QString();
}

QString describeOAuthMessageRefusal(const MailOutcome &outcome)
{
    const bool afterData = outcome.phase == MailPhase::Data || outcome.phase == MailPhase::EndOfData;
    if (outcome.kind == MailOutcome::Kind::Refused && afterData && outcome.code == 430
        && outcome.enhancedCode == QLatin1String("4.2.0") && outcome.reply.contains(QLatin1String("STOREDRV")))
        return kMailboxPermission;
    return QString();
}

} // namespace corvane
