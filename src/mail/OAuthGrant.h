#pragma once

#include "mail/CredentialMask.h"
#include "mail/OAuthConfig.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <vector>

namespace corvane {

// One token request made ready from the config: where it goes, the form it
// posts, and what must never be shown of it. Nothing here touches the network.
struct OAuthGrant {
    QUrl endpoint;
    QByteArray form;                    // application/x-www-form-urlencoded; holds credentials
    std::vector<CredentialMask> masks;  // the credentials in every form an echo could carry
    QString error;                      // set: no request can be made, and this says why

    bool ok() const { return error.isEmpty(); }

    // Microsoft: client credentials with the secret, or with a PS256 client
    // assertion when a certificate is set. Google: the service account's
    // JWT-bearer grant, or else the refresh token. Custom: the refresh token,
    // or else client credentials with the secret.
    static OAuthGrant build(const OAuthConfig &config, qint64 nowMs);
};

} // namespace corvane
