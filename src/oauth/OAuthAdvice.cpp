#include "oauth/OAuthAdvice.h"

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

} // namespace corvane
