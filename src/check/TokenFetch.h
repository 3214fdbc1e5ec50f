#pragma once

#include "oauth/OAuthConfig.h"
#include "oauth/TokenAnswer.h"

#include <QString>

#include <chrono>
#include <optional>

namespace corvane {

struct TokenFetch {
    std::optional<OAuthToken> token;
    QString problem; // without a token: the source's cause and advice, no secret in it
};

// One token through the oauth library's OAuthTokenSource, the way the
// service gets its own, waited for: the check's stages run one after the
// other. Bounded by `timeout` (the source's own limit on the request).
TokenFetch fetchOAuthToken(const OAuthConfig &config, std::chrono::milliseconds timeout);

} // namespace corvane
