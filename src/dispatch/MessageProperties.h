#pragma once

#include "intake/EmailQueue.h"
#include "mail/MailProperties.h"
#include "storage/Settings.h"

namespace corvane {

// The mail component's properties for one queue entry, from the account
// settings as they are now, in the order of the component's table. Every
// property is set, so one message never inherits from the one before, except
// the priority: a Priority outside 0..2 (a hand-edited file) keeps the one in
// `previous` rather than guessing. The Message-ID and the OAuth sign-in are
// left as `previous` has them; the dispatcher sets those per message.
// Needs no component: the account check builds its probe through it too.
MailProperties messageProperties(const Settings &settings, const QueuedEmail &entry,
                                 const MailProperties &previous = {});

} // namespace corvane
