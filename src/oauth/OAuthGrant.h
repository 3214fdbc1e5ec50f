#pragma once

#include "mail/CredentialMask.h"
#include "oauth/OAuthAdvice.h"
#include "oauth/OAuthConfig.h"
#include "oauth/OAuthProxy.h"

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
    OAuthProxy proxy;                   // the way to the endpoint
    OAuthAdviceContext advice;          // what the request is, for advice on its refusal
    QString error;                      // set: no request can be made, and this says why

    bool ok() const { return error.isEmpty(); }

    // The first of the provider's grants (OAuthProviderInfo::grants) whose
    // credential is set: Microsoft's certificate or secret, Google's service
    // account or refresh token, a Custom provider's refresh token or secret.
    static OAuthGrant build(const OAuthConfig &config, qint64 nowMs);
};

} // namespace corvane
