#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

#include <optional>

namespace corvane {

enum class OAuthProvider { None, Microsoft, Google, Custom };

// How the account gets its bearer token, as the caller read it from wherever
// it keeps its settings. Each request carries it whole, so a change takes
// effect with the next request.
struct OAuthConfig {
    OAuthProvider provider = OAuthProvider::None;
    QString tenant;
    QString clientId;
    QString clientSecret;
    QString certificateFile;    // Microsoft certificate credential (PEM), with privateKeyFile
    QString privateKeyFile;
    QString serviceAccountFile; // Google service-account JSON key
    QString refreshToken;
    QString tokenUrl;           // empty: the provider's
    QString scope;              // empty: the provider's
    QString mailbox;            // the SMTP user name: Google's service account acts for it
    QList<QSslCertificate> caCertificates; // trusted for the token endpoint besides the system's
    QString caFile;             // or read from here when a token is requested

    bool enabled() const { return provider != OAuthProvider::None; }
    QString effectiveTokenUrl() const;
    QString effectiveScope() const;
    // Every field: a token fetched for one key is never used for another.
    QByteArray key() const;
};

// "Microsoft", "Google", "Custom" in any letter case; empty: None; anything else: nullopt.
std::optional<OAuthProvider> oauthProviderFromName(const QString &name);
QString oauthProviderName(OAuthProvider provider);

// The provider's own endpoint and scope; empty for Custom, which names its own.
QString defaultOAuthTokenUrl(OAuthProvider provider, const QString &tenant);
QString defaultOAuthScope(OAuthProvider provider);

} // namespace corvane
