#pragma once

#include "mail/MailRequest.h"
#include "storage/Settings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace corvane {

class CaFileCache;

// The account and the probe message of the check, made by the service's own
// functions: the addresses as the queue expands the lists (recipientsOf),
// the component's properties as the dispatcher fills them
// (messageProperties), the account and message as the component builds them
// (MailRequest). So the check connects, trusts and signs in exactly as the
// service would.
struct CheckProbe {
    QStringList recipients;     // the addresses checked, in list order, each once
    QStringList recipientNotes; // what the lists hold that the service leaves out, and why
    QString recipientsText;     // as a queue entry carries them, for the component's split
    MailRequest request;        // request.message is the probe: MAIL and RCPT, then RSET

    // `list`: 1..8, that list only; 0: every list. `signIn` and `bearerToken`
    // come from the Token stage (empty: the password, if any).
    static CheckProbe build(const Settings &settings, int list, const QByteArray &signIn,
                            const QByteArray &bearerToken, CaFileCache &caFiles);
};

} // namespace corvane
