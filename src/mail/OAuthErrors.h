#pragma once

#include "mail/SmtpReply.h"

#include <QString>

namespace corvane {

// What to do about an SMTP server's refusal of a bearer token: one sentence
// of advice for the replies Microsoft and Google give when the token is good
// but the mailbox or tenant is not set up for it. For Google's 334 error
// challenge the decoded challenge comes first. Empty: nothing known to add.
QString describeOAuthSmtpRefusal(const SmtpReply &reply);

// One sentence of advice for a token endpoint's `error` (RFC 6749) and,
// where it names one, Microsoft's AADSTS code in `description`.
QString oauthTokenErrorAdvice(const QString &error, const QString &description);

} // namespace corvane
