#include "oauth/OAuthConfig.h"

#include <QCryptographicHash>

namespace corvane {

QString OAuthConfig::effectiveTokenUrl() const
{
    const QString url = settings.TokenUrl.trimmed();
    return url.isEmpty() ? defaultOAuthTokenUrl(provider, settings.Tenant) : url;
}

QString OAuthConfig::effectiveScope() const
{
    const QString scope = settings.Scope.trimmed();
    return scope.isEmpty() ? defaultOAuthScope(provider) : scope;
}

QByteArray OAuthConfig::key() const
{
    // Hashed, so the cache key holds no secret in the clear.
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::number(int(provider)));
    const auto add = [&hash](const QString &field) {
        const QByteArray bytes = field.toUtf8();
        hash.addData(QByteArray::number(bytes.size()) + ':' + bytes);
    };
    for (const OAuthFieldInfo &field : oauthFields())
        add(settings.*field.value);
    add(mailbox);
    add(caFile);
    for (const QSslCertificate &ca : caCertificates)
        hash.addData(ca.digest(QCryptographicHash::Sha256));
    return hash.result();
}

} // namespace corvane
