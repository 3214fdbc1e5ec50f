#include "check/CheckProbe.h"

#include "dispatch/MessageProperties.h"
#include "intake/NotificationQueue.h"
#include "mail/CaFileCache.h"
#include "mail/MailAddresses.h"

#include <vector>

namespace corvane {

namespace {

// Stands in where the service would stop before reaching the server, so that
// the stages after still say what the server does; the stage the problem
// belongs to fails on its own.
const QString kStandIn = QStringLiteral("postmaster");

void addRecipients(const RecipientListTable &lists, int only, CheckProbe &probe)
{
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
        if (only != 0 && only != n)
            continue;
        std::vector<int> leftOut;
        const QString text = recipientsOf(lists[n], &leftOut);
        for (const int slot : leftOut) {
            probe.recipientNotes << QStringLiteral("list %1 slot %2: \"%3\" is not used by the service (no '@')")
                                        .arg(n)
                                        .arg(slot)
                                        .arg(mail::printable(lists[n].Addresses[static_cast<std::size_t>(slot)]));
        }
        // Read back as the component reads a queue entry's recipients.
        for (const QString &address : mail::splitRecipients(text, QStringLiteral(";"))) {
            if (!probe.recipients.contains(address))
                probe.recipients << address;
        }
    }
    probe.recipientsText = probe.recipients.join(QStringLiteral("; "));
}

} // namespace

CheckProbe CheckProbe::build(const Settings &settings, int list, const QByteArray &signIn,
                             const QByteArray &bearerToken, CaFileCache &caFiles)
{
    CheckProbe probe;
    addRecipients(settings.RecipientLists, list, probe);
    QueuedEmail entry;
    entry.Recipients = probe.recipientsText;
    entry.Subject = QStringLiteral("corvane --check");
    entry.Body = QStringLiteral("Never sent: the check stops before DATA.");
    MailProperties properties = messageProperties(settings, entry);
    // The sign-in as the dispatcher gives it. Without a user name the Login
    // stage fails on its own; the session goes on without a login meanwhile.
    if (!properties.userName.isEmpty())
        properties.signIn = signIn;
    // A sender the Sender stage refuses goes out as the null sender: nothing
    // of it reaches the wire.
    const QString sender = properties.senderAddress;
    const bool senderUsable = !sender.isEmpty() && mail::envelopeProblem(sender).isEmpty();
    if (!senderUsable)
        properties.senderAddress = kStandIn;

    MailOptions options; // the service's: no CA file of the component's own, this machine's name
    probe.request = MailRequest::fromProperties(properties, options, caFiles);
    if (!probe.request.failure.isEmpty() && probe.request.failurePhase == MailPhase::Rcpt) {
        // The client ends a probe once its last RCPT is answered. Without an
        // address to check, postmaster, which every server must take, stands in.
        properties.recipients = kStandIn;
        probe.request = MailRequest::fromProperties(properties, options, caFiles);
    }
    if (!senderUsable)
        probe.request.message.sender.clear();
    // As the component does once the token source has answered.
    if (probe.request.useOAuth)
        probe.request.account.bearerToken = bearerToken;
    probe.request.message.id = 1;
    probe.request.message.probeOnly = true;
    return probe;
}

} // namespace corvane
