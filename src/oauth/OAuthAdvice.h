#pragma once

#include <QString>

namespace corvane {

// One sentence of advice for a token endpoint's `error` (RFC 6749) and,
// where it names one, Microsoft's AADSTS code or Google's text in
// `description`. It names the [Email_OAuth] keys to change.
QString oauthTokenErrorAdvice(const QString &error, const QString &description);

} // namespace corvane
