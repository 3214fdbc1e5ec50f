#pragma once

#include "mail/MailOutcome.h"
#include "storage/QueueJournal.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

namespace corvane {

// Everything the dispatcher knows of one message on its way, under the one id
// the message has from the queue to its outcome (QueuedEmail::Id, its journal
// sequence). The component, its hooks and its `finished` carry the same id.
//
// A digest is one such delivery that carries several queue entries: its id is
// its first entry's, and every entry keeps its own journal record until the
// digest is accepted, when all are freed together. What it carries is fixed at
// its first attempt and goes again unchanged with every later one.
struct Delivery {
    // Why an attempt may bring a second copy, as the log says before it goes.
    enum class Repeat {
        No,
        AfterRestart,  // its end of data went out before the last restart
        SameMessageId, // an earlier attempt's end of data went out unanswered
    };

    // A queue entry it carries: its id and its slot.
    struct Entry {
        std::uint64_t id = 0;
        int slot = -1;
    };

    std::uint64_t id = 0;
    int slot = -1; // where the walk stood when it went
    // What it carries, in the order accepted; the one entry of a plain message.
    std::vector<Entry> entries;
    // A digest's subject and body, made at its first attempt; the size of the
    // body as it goes to the server.
    QString subject;
    QString body;
    qint64 bodyBytes = 0;
    // Fixed at the first attempt and kept for every later one, so a receiver
    // can tell copies apart from new messages.
    QByteArray messageId;
    int attempts = 0;          // attempts that ended deferred
    qint64 firstAttemptMs = 0; // milliseconds since the epoch; 0 before the first
    qint64 nextTryMs = 0;      // not tried before this; 0: at once
    std::optional<MailOutcome> lastOutcome;
    Repeat repeat = Repeat::No;
    bool inFlight = false; // handed to the component, its `finished` still to come
    bool shown = false;    // the "Send email:" line of this attempt is written
    bool accepted = false; // the server took it in this attempt

    bool isDigest() const { return entries.size() > 1; }
};

// One record per message the dispatcher has handed to the component, or that
// a previous run left with a history (deferred, or on the wire at a crash).
// A record ends when the message's slot is freed.
class DeliveryBook {
public:
    // What the journal kept of the messages put back into the queue: the
    // entries of a digest that was on the wire at a crash (their "sending"
    // records share a Message-ID) become that digest again. `slotOf` finds a
    // restored entry's slot.
    void restore(const std::vector<QueueJournal::Entry> &entries, const std::function<int(std::uint64_t)> &slotOf);

    Delivery *find(std::uint64_t id);
    const Delivery *find(std::uint64_t id) const;
    // The record that carries queue entry `entryId`, its own or a digest's.
    Delivery *holding(std::uint64_t entryId);
    const Delivery *holding(std::uint64_t entryId) const;
    // The record of the message in `slot`, made at its first attempt.
    Delivery &open(std::uint64_t id, int slot);
    // A new digest of `entries` (at least two, in the order accepted). An
    // entry's own record that only counted deferred attempts (from before a
    // restart) is taken in: its count and first attempt go to the digest.
    Delivery &openDigest(const std::vector<Delivery::Entry> &entries);
    // Whether queue entry `entryId` may go into a new digest: no record holds
    // it, or only one that counted attempts and fixed nothing the server saw.
    bool isFree(std::uint64_t entryId) const;
    void close(std::uint64_t id);

    // Neither on its way nor waiting for a later try; the clock is read only for a
    // message that waits.
    template <typename Now>
    static bool isDue(const Delivery &delivery, Now &&nowMs)
    {
        if (delivery.inFlight)
            return false;
        return delivery.nextTryMs == 0 || delivery.nextTryMs <= nowMs();
    }

    // The attempt ended deferred: counted, and tried again at nextTryMs.
    void defer(Delivery &delivery, qint64 nextTryMs);
    // Alarms waiting for a later try (a digest counts every alarm it carries).
    int deferredCount() const { return m_deferred; }

private:
    Delivery &record(std::uint64_t id);
    void forget(std::unordered_map<std::uint64_t, Delivery>::iterator it);

    std::unordered_map<std::uint64_t, Delivery> m_records;
    // A digest's entries other than its first, to the digest's id.
    std::unordered_map<std::uint64_t, std::uint64_t> m_digestOf;
    int m_deferred = 0; // alarms in records with attempts > 0
};

} // namespace corvane
