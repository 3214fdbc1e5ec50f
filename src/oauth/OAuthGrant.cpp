#include "oauth/OAuthGrant.h"

#include "oauth/JwtAssertion.h"

#include <optional>
#include <utility>

namespace corvane {

namespace {

using Fields = std::vector<std::pair<const char *, QString>>;

// Every character outside the unreserved set encoded: a "+" left bare in a
// secret would arrive as a space.
QByteArray formOf(const Fields &fields)
{
    QByteArray form;
    for (const auto &[name, value] : fields) {
        if (!form.isEmpty())
            form += '&';
        form += QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return form;
}

void addMask(OAuthGrant &grant, const QString &secret)
{
    if (secret.isEmpty())
        return;
    grant.masks.emplace_back(QString(), secret);
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(secret));
    if (encoded != secret)
        grant.masks.emplace_back(QString(), encoded);
}

OAuthGrant failure(const QString &error)
{
    OAuthGrant grant;
    grant.error = error;
    return grant;
}

bool credentialSet(OAuthGrantKind kind, const OAuthSettingsRecord &s)
{
    for (OAuthField field : oauthGrantCredentials(kind))
        if (!(s.*oauthField(field).value).isEmpty())
            return true;
    return false;
}

std::optional<OAuthGrantKind> chosenGrant(const OAuthProviderInfo &provider, const OAuthSettingsRecord &s)
{
    for (OAuthGrantKind kind : provider.grants)
        if (credentialSet(kind, s))
            return kind;
    return std::nullopt;
}

const char *const kClientCredentials = "client_credentials";
const char *const kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
const char *const kJwtBearer = "urn:ietf:params:oauth:grant-type:jwt-bearer";

} // namespace

OAuthGrant OAuthGrant::build(const OAuthConfig &config, qint64 nowMs)
{
    const OAuthProviderInfo *provider = oauthProviderInfo(config.provider);
    if (!provider)
        return failure(QStringLiteral("No OAuth provider is set. Choose %1.").arg(oauthProviderNames()));
    const OAuthSettingsRecord &s = config.settings;
    const QString name = QString::fromLatin1(provider->name);
    if (provider->needsTenant() && s.TokenUrl.trimmed().isEmpty() && s.Tenant.trimmed().isEmpty())
        return failure(QStringLiteral("%1 sign-in needs the tenant. Fill in Tenant with the tenant id or domain "
                                      "(contoso.onmicrosoft.com).")
                           .arg(name));
    const QString url = config.effectiveTokenUrl();
    if (url.isEmpty())
        return failure(QStringLiteral("The %1 provider has no token endpoint. Fill in Token_Url.").arg(name));
    OAuthGrant grant;
    grant.proxy = OAuthProxy::fromSetting(s.Proxy);
    if (!grant.proxy.ok())
        return failure(grant.proxy.error());
    grant.endpoint = QUrl(url, QUrl::StrictMode);
    // Credentials go out only encrypted, and only to a host that is named.
    if (!grant.endpoint.isValid() || grant.endpoint.scheme() != QLatin1String("https")
        || grant.endpoint.host().isEmpty())
        return failure(QStringLiteral("The token endpoint \"%1\" is not an https address. Give Token_Url as "
                                      "https://host/path.")
                           .arg(url.left(200)));

    const QString clientId = s.ClientId.trimmed();
    const QString scope = config.effectiveScope();
    const std::optional<OAuthGrantKind> kind = chosenGrant(*provider, s);
    if (clientId.isEmpty() && kind != OAuthGrantKind::ServiceAccount)
        return failure(QStringLiteral("No client id is set. Fill in Client_Id with the application (client) id."));
    if (!kind)
        return failure(QString::fromLatin1(provider->noCredential));

    Fields fields;
    switch (*kind) {
    case OAuthGrantKind::Certificate: {
        const JwtResult jwt =
            JwtAssertion::microsoftClientAssertion(s.CertificateFile, s.PrivateKeyFile, clientId, url, nowMs);
        if (!jwt.ok())
            return failure(jwt.error);
        const QString assertion = QString::fromLatin1(jwt.token);
        addMask(grant, assertion);
        fields = {{"grant_type", QLatin1String(kClientCredentials)}, {"client_id", clientId}, {"scope", scope},
                  {"client_assertion_type", QLatin1String(kAssertionType)}, {"client_assertion", assertion}};
        break;
    }
    case OAuthGrantKind::ServiceAccount: {
        if (config.mailbox.trimmed().isEmpty())
            return failure(QStringLiteral("The service account acts for a mailbox, and none is set. Fill in "
                                          "User_Name with the mailbox the alarms are sent from."));
        const JwtResult jwt =
            JwtAssertion::googleServiceAccount(s.ServiceAccountFile, config.mailbox.trimmed(), scope, url, nowMs);
        if (!jwt.ok())
            return failure(jwt.error);
        const QString assertion = QString::fromLatin1(jwt.token);
        addMask(grant, assertion);
        fields = {{"grant_type", QLatin1String(kJwtBearer)}, {"assertion", assertion}};
        break;
    }
    case OAuthGrantKind::RefreshToken:
        // Google's refresh grant takes no request without the secret
        // (invalid_request): said here, with the key to fill in.
        if (config.provider == OAuthProvider::Google && s.ClientSecret.isEmpty())
            return failure(QStringLiteral("Google's refresh token works only together with the secret of the OAuth "
                                          "client it was issued to. Fill in Client_Secret with that client's secret "
                                          "(Google Cloud console, APIs & Services > Credentials)."));
        fields = {{"grant_type", QStringLiteral("refresh_token")}, {"client_id", clientId},
                  {"refresh_token", s.RefreshToken}};
        if (!s.ClientSecret.isEmpty())
            fields.emplace_back("client_secret", s.ClientSecret);
        // A refresh keeps the consented scope unless one is asked for.
        if (!s.Scope.trimmed().isEmpty())
            fields.emplace_back("scope", s.Scope.trimmed());
        break;
    case OAuthGrantKind::ClientSecret:
        fields = {{"grant_type", QLatin1String(kClientCredentials)}, {"client_id", clientId},
                  {"client_secret", s.ClientSecret}};
        if (!scope.isEmpty())
            fields.emplace_back("scope", scope);
        break;
    }
    for (const OAuthFieldInfo &field : oauthFields())
        if (field.secret)
            addMask(grant, s.*field.value);
    addMask(grant, grant.proxy.password());
    grant.advice = {config.provider, kind, url, scope};
    grant.form = formOf(fields);
    return grant;
}

} // namespace corvane
