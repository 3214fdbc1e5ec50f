#pragma once

#include "mail/MailOptions.h"
#include "mail/MailProperties.h"
#include "mail/SmtpSession.h"

#include <QString>
#include <QStringList>

namespace corvane {

class CaFileCache;

// One message made ready from the component's properties: checked, built, and
// split into what the POP3 login and the SMTP session need. Nothing in it
// touches the network.
struct MailRequest {
    QString failure;        // set: nothing can be sent, and this says why
    // Where that failure lies: Setup for the account (it can be mended, and
    // the message tried again), a step of the message for the message itself.
    MailPhase failurePhase = MailPhase::Setup;
    QStringList notes;      // status lines that come before any network step
    bool popLogin = false;  // POP-before-SMTP first
    QString pop3Host;
    SmtpAccount account;
    SmtpMessage message;
    QByteArray messageId;   // as in the message's header
    bool useOAuth = false;  // sign in with a bearer token for `signIn`
    QByteArray signIn;
    bool tokenRetried = false; // a refused token was fetched anew once already

    static MailRequest fromProperties(const MailProperties &properties, const MailOptions &options,
                                      CaFileCache &authorities);
};

} // namespace corvane
