#pragma once

#include "oauth/OAuthProviders.h"
#include "storage/Settings.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>

namespace corvane {

// How the account gets its bearer token: [Email_OAuth] as read (oauthConfigFrom
// in OAuthSettings.h), the provider it names, and what the account adds. Each
// request carries it whole, so a change takes effect with the next request.
struct OAuthConfig {
    OAuthProvider provider = OAuthProvider::None;
    OAuthSettingsRecord settings; // values trimmed; the provider's name is `provider`
    QString mailbox;              // the SMTP user name: Google's service account acts for it
    QList<QSslCertificate> caCertificates; // trusted for the token endpoint besides the system's
    QString caFile;               // or read from here when a token is requested

    QString effectiveTokenUrl() const;
    QString effectiveScope() const;
    // Every field: a token fetched for one key is never used for another.
    QByteArray key() const;
};

} // namespace corvane
