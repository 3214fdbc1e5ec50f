#pragma once

#include "mail/SmtpReply.h"

#include <QString>

namespace corvane {

// What to do about an SMTP server's refusal of a bearer token: one sentence
// of advice for the replies Microsoft and Google give when the token is good
// but the mailbox or tenant is not set up for it. For Google's 334 error
// challenge the decoded challenge comes first. Empty: nothing known to add.
// In the component's own words: where the settings keep a value is for the
// caller to say (the token endpoint's advice is the oauth library's).
QString describeOAuthSmtpRefusal(const SmtpReply &reply);

} // namespace corvane
