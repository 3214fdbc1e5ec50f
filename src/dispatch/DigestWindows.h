#pragma once

#include "dispatch/DeliveryBook.h"
#include "dispatch/DigestBuilder.h"
#include "mail/MailOutcome.h"
#include "storage/Clock.h"

#include <QHash>
#include <QString>

namespace corvane {

class MailComponent;
class NotificationQueue;
struct QueuedEmail;
struct Settings;

// The dispatcher's digests (Digest_Seconds): a window per recipient list, and
// the deliveries the entries that waited for it become. A list is its
// recipients as queued: a digest has one envelope, so only alarms for the same
// addresses can share one.
//
// The first send for a list opens its window; entries for it queued while it
// is open wait. When it has closed, the next send takes every entry for the
// list that nothing holds yet, as digests as large as the server takes (split,
// never cut), and opens the next window.
class DigestWindows {
public:
    DigestWindows(const NotificationQueue &queue, const Settings &settings, const MailComponent &component,
                  DeliveryBook &book, const Clock &clock);

    bool enabled() const; // Digest_Seconds > 0
    // The entry waits for its list's window to close.
    bool holds(const QueuedEmail &entry) const;
    // Alarms held in open windows; windows that have closed are forgotten.
    int waiting();

    // The new deliveries of every free entry for the recipients of the entry
    // in `slot` (a part of one alarm is a plain message); returns the one that
    // carries that entry. Opens the list's next window.
    Delivery &gather(int slot);
    // The subject and body of a digest that came back from the journal: its
    // entries in one e-mail, whatever its size, as its Message-ID was fixed
    // for them.
    void remake(Delivery &delivery) const;

    // The digest failed for its size: the server's limit (SIZE, 552, 5.3.4)
    // is one it cannot meet.
    bool tooLarge(const Delivery &delivery, const MailOutcome &outcome) const;
    // Its entries go again at once, not after the window.
    void reopen(const Delivery &delivery);

private:
    qint64 windowMs() const;
    qint64 nowMs() const;
    qint64 bodyLimit() const;
    std::vector<Digest> build(std::vector<DigestAlarm> alarms, qint64 maxBodyBytes) const;

    const NotificationQueue &m_queue;
    const Settings &m_settings;
    const MailComponent &m_component;
    DeliveryBook &m_book;
    const Clock &m_clock;
    // Per list: when its last send began, while its window is open.
    QHash<QString, qint64> m_openedMs;
};

} // namespace corvane
