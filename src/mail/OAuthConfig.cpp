#include "mail/OAuthConfig.h"

#include <QCryptographicHash>
#include <QUrl>

namespace corvane {

std::optional<OAuthProvider> oauthProviderFromName(const QString &name)
{
    for (OAuthProvider p : {OAuthProvider::None, OAuthProvider::Microsoft, OAuthProvider::Google, OAuthProvider::Custom})
        if (name.trimmed().compare(oauthProviderName(p), Qt::CaseInsensitive) == 0)
            return p;
    return std::nullopt;
}

QString oauthProviderName(OAuthProvider provider)
{
    switch (provider) {
    case OAuthProvider::Microsoft:
        return QStringLiteral("Microsoft");
    case OAuthProvider::Google:
        return QStringLiteral("Google");
    case OAuthProvider::Custom:
        return QStringLiteral("Custom");
    case OAuthProvider::None:
        break;
    }
    return QString();
}

QString defaultOAuthTokenUrl(OAuthProvider provider, const QString &tenant)
{
    switch (provider) {
    case OAuthProvider::Microsoft:
        // The tenant goes into the path: encoded, so a stray "/" or "?" cannot
        // send the request elsewhere.
        return QStringLiteral("https://login.microsoftonline.com/%1/oauth2/v2.0/token")
            .arg(QString::fromLatin1(QUrl::toPercentEncoding(tenant.trimmed())));
    case OAuthProvider::Google:
        return QStringLiteral("https://oauth2.googleapis.com/token");
    case OAuthProvider::Custom:
    case OAuthProvider::None:
        break;
    }
    return QString();
}

QString defaultOAuthScope(OAuthProvider provider)
{
    switch (provider) {
    case OAuthProvider::Microsoft:
        return QStringLiteral("https://outlook.office365.com/.default");
    case OAuthProvider::Google:
        return QStringLiteral("https://mail.google.com/");
    case OAuthProvider::Custom:
    case OAuthProvider::None:
        break;
    }
    return QString();
}

QString OAuthConfig::effectiveTokenUrl() const
{
    return tokenUrl.trimmed().isEmpty() ? defaultOAuthTokenUrl(provider, tenant) : tokenUrl.trimmed();
}

QString OAuthConfig::effectiveScope() const
{
    return scope.trimmed().isEmpty() ? defaultOAuthScope(provider) : scope.trimmed();
}

QByteArray OAuthConfig::key() const
{
    // Hashed, so the cache key holds no secret in the clear.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(int(provider)));
    for (const QString *field : {&tenant, &clientId, &clientSecret, &certificateFile, &privateKeyFile,
                                 &serviceAccountFile, &refreshToken, &tokenUrl, &scope, &mailbox, &caFile}) {
        const QByteArray bytes = field->toUtf8();
        hash.addData(QByteArray::number(bytes.size()) + ':' + bytes);
    }
    for (const QSslCertificate &ca : caCertificates)
        hash.addData(ca.digest(QCryptographicHash::Sha256));
    return hash.result();
}

} // namespace corvane
