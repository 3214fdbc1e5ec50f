#include "mail/OAuthGrant.h"

#include "mail/JwtAssertion.h"

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

const char *const kClientCredentials = "client_credentials";
const char *const kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
const char *const kJwtBearer = "urn:ietf:params:oauth:grant-type:jwt-bearer";

} // namespace

OAuthGrant OAuthGrant::build(const OAuthConfig &config, qint64 nowMs)
{
    const QString url = config.effectiveTokenUrl();
    if (config.provider == OAuthProvider::None)
        return failure(QStringLiteral("No OAuth provider is set. Choose Microsoft, Google or Custom."));
    if (config.provider == OAuthProvider::Microsoft && config.tokenUrl.trimmed().isEmpty()
        && config.tenant.trimmed().isEmpty())
        return failure(QStringLiteral("Microsoft sign-in needs the tenant. Fill in Tenant with the tenant id or "
                                      "domain (contoso.onmicrosoft.com)."));
    if (url.isEmpty())
        return failure(QStringLiteral("The Custom provider has no token endpoint. Fill in Token_Url."));
    OAuthGrant grant;
    grant.endpoint = QUrl(url, QUrl::StrictMode);
    // Credentials go out only encrypted, and only to a host that is named.
    if (!grant.endpoint.isValid() || grant.endpoint.scheme() != QLatin1String("https")
        || grant.endpoint.host().isEmpty())
        return failure(QStringLiteral("The token endpoint \"%1\" is not an https address. Give Token_Url as "
                                      "https://host/path.")
                           .arg(url.left(200)));

    const QString clientId = config.clientId.trimmed();
    const QString scope = config.effectiveScope();
    const bool serviceAccount = config.provider == OAuthProvider::Google && !config.serviceAccountFile.isEmpty();
    if (clientId.isEmpty() && !serviceAccount)
        return failure(QStringLiteral("No client id is set. Fill in Client_Id with the application (client) id."));

    Fields fields;
    if (config.provider == OAuthProvider::Microsoft && (!config.certificateFile.isEmpty() || !config.privateKeyFile.isEmpty())) {
        const JwtResult jwt = JwtAssertion::microsoftClientAssertion(config.certificateFile, config.privateKeyFile,
                                                                     clientId, url, nowMs);
        if (!jwt.ok())
            return failure(jwt.error);
        const QString assertion = QString::fromLatin1(jwt.token);
        addMask(grant, assertion);
        fields = {{"grant_type", QLatin1String(kClientCredentials)}, {"client_id", clientId}, {"scope", scope},
                  {"client_assertion_type", QLatin1String(kAssertionType)}, {"client_assertion", assertion}};
    } else if (serviceAccount) {
        if (config.mailbox.trimmed().isEmpty())
            return failure(QStringLiteral("The service account acts for a mailbox, and none is set. Fill in "
                                          "User_Name with the mailbox the alarms are sent from."));
        const JwtResult jwt =
            JwtAssertion::googleServiceAccount(config.serviceAccountFile, config.mailbox.trimmed(), scope, url, nowMs);
        if (!jwt.ok())
            return failure(jwt.error);
        const QString assertion = QString::fromLatin1(jwt.token);
        addMask(grant, assertion);
        fields = {{"grant_type", QLatin1String(kJwtBearer)}, {"assertion", assertion}};
    } else if (config.provider != OAuthProvider::Microsoft && !config.refreshToken.isEmpty()) {
        fields = {{"grant_type", QStringLiteral("refresh_token")}, {"client_id", clientId},
                  {"refresh_token", config.refreshToken}};
        if (!config.clientSecret.isEmpty())
            fields.emplace_back("client_secret", config.clientSecret);
        // A refresh keeps the consented scope unless one is asked for.
        if (!config.scope.trimmed().isEmpty())
            fields.emplace_back("scope", config.scope.trimmed());
    } else if (config.provider != OAuthProvider::Google && !config.clientSecret.isEmpty()) {
        fields = {{"grant_type", QLatin1String(kClientCredentials)}, {"client_id", clientId},
                  {"client_secret", config.clientSecret}};
        if (!scope.isEmpty())
            fields.emplace_back("scope", scope);
    } else {
        return failure(config.provider == OAuthProvider::Microsoft
                           ? QStringLiteral("Microsoft sign-in needs a credential, and none is set. Fill in "
                                            "Client_Secret, or Certificate_File and Private_Key_File.")
                       : config.provider == OAuthProvider::Google
                           ? QStringLiteral("Google sign-in needs a credential, and none is set. Fill in "
                                            "Service_Account_File, or Refresh_Token with Client_Secret.")
                           : QStringLiteral("The Custom provider needs a credential, and none is set. Fill in "
                                            "Refresh_Token or Client_Secret."));
    }
    addMask(grant, config.clientSecret);
    addMask(grant, config.refreshToken);
    grant.form = formOf(fields);
    return grant;
}

} // namespace corvane
