#include "oauth/OAuthAdvice.h"

#include <QRegularExpression>
#include <QUrl>

namespace corvane {

namespace {

struct Advice {
    const char *key;
    const char *advice;
};

// Microsoft's AADSTS codes and Google's texts come in the description and say
// more than the error code. "%1": the scope the advice names (adviceScope);
// "%asked": the scope the request asked for.
const Advice kDescriptions[] = {
    {"Invalid email or User ID", "Set User_Name to a mailbox of the Workspace domain the service account may act "
                                 "for."},
    {"Invalid JWT Signature", "The key was deleted from the service account: download a new JSON key."},
    {"AADSTS7000215:", "Put the secret's Value (not its Secret ID) into Client_Secret, or create a new secret in "
                      "the app registration."},
    {"AADSTS7000222:", "The client secret has expired: create a new one in the app registration and put it into "
                      "Client_Secret."},
    {"AADSTS700016:", "Check Client_Id and Tenant: the application is not registered in that tenant."},
    {"AADSTS90002:", "Check Tenant: give the tenant id or its domain (contoso.onmicrosoft.com)."},
    {"AADSTS900023:", "Check Tenant: give the tenant id or its domain (contoso.onmicrosoft.com)."},
    {"AADSTS700027:", "Upload the certificate of Certificate_File to the app registration (Certificates & secrets) "
                     "and check that the machine's clock is right."},
    {"AADSTS70011:", "Set Scope to %1: the Exchange Online of the cloud Token_Url names, with \"/.default\"."},
    {"AADSTS1002012:", "Set Scope to %1: the Exchange Online of the cloud Token_Url names, with \"/.default\"."},
    {"AADSTS500011:", "Scope names a resource the tenant does not have. Set Scope to %1; the US Government cloud "
                     "takes Token_Url https://login.microsoftonline.us/<tenant>/oauth2/v2.0/token with Scope "
                     "https://outlook.office365.us/.default, the China cloud https://login.chinacloudapi.cn/<tenant>/"
                     "oauth2/v2.0/token with https://partner.outlook.cn/.default."},
    {"AADSTS7000112:", "The application is disabled in the tenant: enable it in Enterprise applications."},
    {"AADSTS65001:", "Grant admin consent for the SMTP.SendAsApp permission in the app registration."},
};

const Advice kErrorCodes[] = {
    {"invalid_client", "Check Client_Id and the client secret or certificate registered for the application."},
    {"unauthorized_client", "Allow the client this grant: for a Google service account, authorise its client id "
                            "for %1 under domain-wide delegation in the Admin console."},
    {"invalid_grant", "Get a new refresh token if it has expired or was revoked; a service account acts only for "
                      "a mailbox of its domain (User_Name), and the machine's clock must be right."},
    {"invalid_scope", "Check Scope (%asked was asked for), or leave it empty for the provider's own."},
    {"invalid_request", "Check Provider and Token_Url: the endpoint does not take this request."},
    {"unsupported_grant_type", "Check Provider and Token_Url: the endpoint does not take this kind of sign-in."},
    {"access_denied", "Have an administrator grant the application its permission (admin consent)."},
    {"server_error", "The provider has a problem of its own; the next send tries again."},
    {"temporarily_unavailable", "The provider has a problem of its own; the next send tries again."},
};

// Microsoft's clouds: each has its own sign-in host and Exchange Online.
struct Cloud {
    const char *loginHost;
    const char *scope;
};
const Cloud kClouds[] = {
    {"login.microsoftonline.com", "https://outlook.office365.com/.default"},
    {"login.microsoftonline.us", "https://outlook.office365.us/.default"},
    {"login.chinacloudapi.cn", "https://partner.outlook.cn/.default"},
    {"login.partner.microsoftonline.cn", "https://partner.outlook.cn/.default"},
};

// The Exchange Online of the cloud the request went to; elsewhere the scope
// the account asks for.
QString adviceScope(const OAuthAdviceContext &context)
{
    const QString host = QUrl(context.tokenUrl).host();
    for (const Cloud &cloud : kClouds)
        if (host.compare(QLatin1String(cloud.loginHost), Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(cloud.scope);
    return context.scope;
}

// A signed assertion (or the machine that signed it) outside its valid time:
// Microsoft's AADSTS700024, or Google's invalid_grant naming the JWT's time claims.
bool clockSkew(const QString &error, const QString &description)
{
    static const QRegularExpression timeClaims(QStringLiteral("\\b(iat|exp|nbf)\\b"));
    return description.contains(QLatin1String("AADSTS700024"))
        || (error == QLatin1String("invalid_grant") && timeClaims.match(description).hasMatch());
}

QString refreshTokenRefused(OAuthProvider provider)
{
    const QString causes = QStringLiteral("The refresh token is no longer valid: it was revoked (consent withdrawn, "
                                          "the password changed) or it expired unused");
    if (provider != OAuthProvider::Google)
        return causes + QStringLiteral(". Get a new one with a fresh consent and put it into Refresh_Token.");
    return causes + QStringLiteral(", or the OAuth app is in Google's \"Testing\" status, whose refresh tokens "
                                   "last 7 days. Set the app's publishing status to \"In production\" (OAuth "
                                   "consent screen), then get a new refresh token and put it into Refresh_Token.");
}

} // namespace

QString oauthTokenErrorAdvice(const QString &error, const QString &description, const OAuthAdviceContext &context)
{
    if (clockSkew(error, description))
        return QStringLiteral("The machine's clock is off: the endpoint found the signed request outside its valid "
                              "time. Set the clock right (NTP; w32tm /resync on Windows).");
    if (error == QLatin1String("invalid_grant") && context.grant == OAuthGrantKind::RefreshToken)
        return refreshTokenRefused(context.provider);
    const auto withScope = [&context](const char *advice) {
        QString text = QString::fromLatin1(advice);
        if (text.contains(QLatin1String("%1")))
            text = text.arg(adviceScope(context));
        return text.replace(QLatin1String("%asked"), context.scope);
    };
    for (const Advice &a : kDescriptions)
        if (description.contains(QLatin1String(a.key)))
            return withScope(a.advice);
    for (const Advice &a : kErrorCodes)
        if (error == QLatin1String(a.key))
            return withScope(a.advice);
    return QStringLiteral("Check the OAuth settings against the application's registration with the provider.");
}

} // namespace corvane
