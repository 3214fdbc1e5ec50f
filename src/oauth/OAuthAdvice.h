#pragma once

#include "oauth/OAuthProviders.h"

#include <QString>

#include <optional>

namespace corvane {

// What the advice may name: the request the endpoint refused.
struct OAuthAdviceContext {
    OAuthProvider provider = OAuthProvider::None;
    std::optional<OAuthGrantKind> grant;
    QString tokenUrl; // where the request went
    QString scope;    // the scope the account asks for (Scope, or the provider's)
};

// One sentence of advice for a token endpoint's `error` (RFC 6749) and,
// where it names one, Microsoft's AADSTS code or Google's text in
// `description`. It names the [Email_OAuth] keys to change, and the scope of
// the cloud the request went to (Microsoft's US Government and China clouds
// have their own endpoints and scopes).
QString oauthTokenErrorAdvice(const QString &error, const QString &description, const OAuthAdviceContext &context);

} // namespace corvane
