#include "mail/ClearTextLogin.h"

#include "mail/MailNetwork.h"

namespace corvane::mail {

bool clearTextLoginAllowed(const QHostAddress &server)
{
    return isLocalOrPrivate(server);
}

} // namespace corvane::mail
