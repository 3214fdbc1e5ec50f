#pragma once

#include "oauth/OAuthSettings.h"
#include "oauth/OAuthTokenSource.h"
#include "oauth/TokenAnswer.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

namespace corvane {

struct Settings;

// The service's token source for the Token stage: the sign-in the dispatcher
// would give a message, and one token for it, waited for, since the check's
// stages run one after the other.
class TokenFetch {
public:
    struct Answer {
        std::optional<OAuthToken> token;
        QString problem; // without a token: the source's cause and advice, no secret in it
    };

    // `timeout`: the source's own limit on a request, as the service sets it.
    explicit TokenFetch(std::chrono::milliseconds timeout);
    // The source, its network access manager and its thread all gone.
    ~TokenFetch();
    TokenFetch(const TokenFetch &) = delete;
    TokenFetch &operator=(const TokenFetch &) = delete;

    // As the dispatcher fills a message's sign-in (oauthSignInFrom).
    OAuthSignIn signIn(const Settings &settings);
    // One token for `signIn`, asked for as the mail component asks.
    Answer fetch(const QByteArray &signIn);

private:
    std::optional<OAuthTokenSource> m_source;
};

} // namespace corvane
