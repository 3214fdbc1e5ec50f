#include "mail/OAuthErrors.h"

#include "mail/CredentialMask.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace corvane {

namespace {

struct Advice {
    const char *key;
    const char *advice;
};

// Microsoft's AADSTS codes and Google's texts come in the description and say
// more than the error code.
const Advice kDescriptions[] = {
    {"Token has been expired or revoked", "Get a new refresh token with a fresh consent and put it into "
                                          "Refresh_Token."},
    {"Invalid email or User ID", "Set User_Name to a mailbox of the Workspace domain the service account may act "
                                 "for."},
    {"Invalid JWT Signature", "The key was deleted from the service account: download a new JSON key."},
    {"Invalid JWT: Token must be a short-lived token", "Set the machine's clock right (NTP)."},
    {"AADSTS7000215:", "Put the secret's Value (not its Secret ID) into Client_Secret, or create a new secret in "
                      "the app registration."},
    {"AADSTS7000222:", "The client secret has expired: create a new one in the app registration and put it into "
                      "Client_Secret."},
    {"AADSTS700016:", "Check Client_Id and Tenant: the application is not registered in that tenant."},
    {"AADSTS90002:", "Check Tenant: give the tenant id or its domain (contoso.onmicrosoft.com)."},
    {"AADSTS900023:", "Check Tenant: give the tenant id or its domain (contoso.onmicrosoft.com)."},
    {"AADSTS700027:", "Upload the certificate of Certificate_File to the app registration (Certificates & secrets) "
                     "and check that the machine's clock is right."},
    {"AADSTS70011:", "Leave Scope empty, or set it to https://outlook.office365.com/.default."},
    {"AADSTS1002012:", "Leave Scope empty, or set it to https://outlook.office365.com/.default."},
    {"AADSTS7000112:", "The application is disabled in the tenant: enable it in Enterprise applications."},
    {"AADSTS65001:", "Grant admin consent for the SMTP.SendAsApp permission in the app registration."},
};

const Advice kErrorCodes[] = {
    {"invalid_client", "Check Client_Id and the client secret or certificate registered for the application."},
    {"unauthorized_client", "Allow the client this grant: for a Google service account, authorise its client id "
                            "for https://mail.google.com/ under domain-wide delegation in the Admin console."},
    {"invalid_grant", "Get a new refresh token if it has expired or was revoked; a service account acts only for "
                      "a mailbox of its domain (User_Name), and the machine's clock must be right."},
    {"invalid_scope", "Check Scope, or leave it empty for the provider's own."},
    {"invalid_request", "Check Provider and Token_Url: the endpoint does not take this request."},
    {"unsupported_grant_type", "Check Provider and Token_Url: the endpoint does not take this kind of sign-in."},
    {"access_denied", "Have an administrator grant the application its permission (admin consent)."},
    {"server_error", "The provider has a problem of its own; the next send tries again."},
    {"temporarily_unavailable", "The provider has a problem of its own; the next send tries again."},
};

} // namespace

QString oauthTokenErrorAdvice(const QString &error, const QString &description)
{
    for (const Advice &a : kDescriptions)
        if (description.contains(QLatin1String(a.key)))
            return QString::fromLatin1(a.advice);
    for (const Advice &a : kErrorCodes)
        if (error == QLatin1String(a.key))
            return QString::fromLatin1(a.advice);
    return QStringLiteral("Check the OAuth settings against the application's registration with the provider.");
}

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
        return QStringLiteral("Exchange Online does not let the application send as this mailbox: register its "
                              "service principal (New-ServicePrincipal with the Enterprise application's object id) "
                              "and give it the mailbox (Add-MailboxPermission).");
    if (code == QLatin1String("535 5.7.139"))
        return QStringLiteral("SMTP AUTH is off for the tenant or this mailbox: turn on Authenticated SMTP for it "
                              "(Set-CASMailbox -SmtpClientAuthenticationDisabled $false).");
    if (code == QLatin1String("550 5.7.30"))
        return QStringLiteral("The server takes no password sign-in: set up OAuth (Provider in [Email_OAuth]).");
    if (code == QLatin1String("535 5.7.8"))
        return QStringLiteral("The server refused the token: check that User_Name is the mailbox the token was "
                              "issued for and that it carries the mail scope.");
    return QString();
}

} // namespace corvane
