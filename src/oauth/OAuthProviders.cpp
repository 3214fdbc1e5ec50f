#include "oauth/OAuthProviders.h"

#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace corvane {

namespace {

const char *const kProvidersOwn = "empty: the provider's own";
const char *const kProxy = "empty: direct; system; or http://user@host:port";

} // namespace

const std::vector<OAuthFieldInfo> &oauthFields()
{
    using F = OAuthField;
    using R = OAuthSettingsRecord;
    static const std::vector<OAuthFieldInfo> fields{
        {F::Tenant, &R::Tenant, "Tenant", "Tenant", false},
        {F::ClientId, &R::ClientId, "ClientId", "Client Id", false},
        {F::ClientSecret, &R::ClientSecret, "ClientSecret", "Client Secret", true},
        {F::CertificateFile, &R::CertificateFile, "CertificateFile", "Certificate File", false},
        {F::PrivateKeyFile, &R::PrivateKeyFile, "PrivateKeyFile", "Private Key File", false},
        {F::ServiceAccountFile, &R::ServiceAccountFile, "ServiceAccountFile", "Service Account File", false},
        {F::RefreshToken, &R::RefreshToken, "RefreshToken", "Refresh Token", true},
        {F::TokenUrl, &R::TokenUrl, "TokenUrl", "Token URL", false},
        {F::Scope, &R::Scope, "Scope", "Scope", false},
        {F::Proxy, &R::Proxy, "Proxy", "Proxy", false},
    };
    return fields;
}

const OAuthFieldInfo &oauthField(OAuthField field)
{
    return oauthFields().at(std::size_t(field));
}

std::vector<OAuthField> oauthGrantCredentials(OAuthGrantKind kind)
{
    switch (kind) {
    case OAuthGrantKind::Certificate:
        return {OAuthField::CertificateFile, OAuthField::PrivateKeyFile};
    case OAuthGrantKind::ServiceAccount:
        return {OAuthField::ServiceAccountFile};
    case OAuthGrantKind::RefreshToken:
        return {OAuthField::RefreshToken};
    case OAuthGrantKind::ClientSecret:
        return {OAuthField::ClientSecret};
    }
    return {};
}

const std::vector<OAuthProviderInfo> &oauthProviders()
{
    using F = OAuthField;
    using G = OAuthGrantKind;
    static const std::vector<OAuthProviderInfo> providers{
        {OAuthProvider::Microsoft,
         "Microsoft",
         {{F::Tenant, ""},
          {F::ClientId, ""},
          {F::ClientSecret, "or a certificate and its key below"},
          {F::CertificateFile, ""},
          {F::PrivateKeyFile, ""},
          {F::TokenUrl, kProvidersOwn},
          {F::Scope, kProvidersOwn},
          {F::Proxy, kProxy}},
         "https://login.microsoftonline.com/%1/oauth2/v2.0/token",
         "https://outlook.office365.com/.default",
         {G::Certificate, G::ClientSecret},
         "Microsoft sign-in needs a credential, and none is set. Fill in Client_Secret, or Certificate_File and "
         "Private_Key_File.",
         "SMTP.SendAsApp"},
        {OAuthProvider::Google,
         "Google",
         {{F::ServiceAccountFile, "JSON key, or a client and refresh token below"},
          {F::ClientId, ""},
          {F::ClientSecret, ""},
          {F::RefreshToken, ""},
          {F::TokenUrl, kProvidersOwn},
          {F::Scope, kProvidersOwn},
          {F::Proxy, kProxy}},
         "https://oauth2.googleapis.com/token",
         "https://mail.google.com/",
         {G::ServiceAccount, G::RefreshToken},
         "Google sign-in needs a credential, and none is set. Fill in Service_Account_File, or Refresh_Token with "
         "Client_Secret.",
         ""},
        // Any other provider: the plain refresh-token grant is what most take.
        {OAuthProvider::Custom,
         "Custom",
         {{F::TokenUrl, ""},
          {F::ClientId, ""},
          {F::ClientSecret, ""},
          {F::RefreshToken, ""},
          {F::Scope, ""},
          {F::Proxy, kProxy}},
         "",
         "",
         {G::RefreshToken, G::ClientSecret},
         "The Custom provider needs a credential, and none is set. Fill in Refresh_Token or Client_Secret.",
         ""},
    };
    return providers;
}

bool OAuthProviderInfo::needsTenant() const
{
    return QLatin1String(tokenUrl).contains(QLatin1String("%1"));
}

const OAuthProviderInfo *oauthProviderInfo(OAuthProvider provider)
{
    const auto &all = oauthProviders();
    const auto it = std::find_if(all.begin(), all.end(), [provider](const auto &p) { return p.provider == provider; });
    return it == all.end() ? nullptr : &*it;
}

std::optional<OAuthProvider> oauthProviderFromName(const QString &name)
{
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty())
        return OAuthProvider::None;
    for (const OAuthProviderInfo &p : oauthProviders())
        if (trimmed.compare(QLatin1String(p.name), Qt::CaseInsensitive) == 0)
            return p.provider;
    return std::nullopt;
}

QString oauthProviderName(OAuthProvider provider)
{
    const OAuthProviderInfo *info = oauthProviderInfo(provider);
    return info ? QString::fromLatin1(info->name) : QString();
}

QString oauthProviderNames()
{
    QStringList names;
    for (const OAuthProviderInfo &p : oauthProviders())
        names << QString::fromLatin1(p.name);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

QString defaultOAuthTokenUrl(OAuthProvider provider, const QString &tenant)
{
    const OAuthProviderInfo *info = oauthProviderInfo(provider);
    if (!info)
        return QString();
    const QString url = QString::fromLatin1(info->tokenUrl);
    // The tenant goes into the path: encoded, so a stray "/" or "?" cannot
    // send the request elsewhere.
    return info->needsTenant() ? url.arg(QString::fromLatin1(QUrl::toPercentEncoding(tenant.trimmed()))) : url;
}

QString defaultOAuthScope(OAuthProvider provider)
{
    const OAuthProviderInfo *info = oauthProviderInfo(provider);
    return info ? QString::fromLatin1(info->scope) : QString();
}

} // namespace corvane
