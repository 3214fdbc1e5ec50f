#pragma once

#include "mail/MailOutcome.h"
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

// The same for a message refused after a sign-in with a token, where
// Exchange Online says a missing mailbox permission only after the data
// ("430 4.2.0 STOREDRV; mailbox logon failure"). Empty: nothing to add.
QString describeOAuthMessageRefusal(const MailOutcome &outcome);

} // namespace corvane
