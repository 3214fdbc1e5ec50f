#pragma once

#include "mail/MailOutcome.h"
#include "storage/QueueJournal.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

namespace corvane {

// Everything the dispatcher knows of one message on its way, under the one id
// the message has from the queue to its outcome (QueuedEmail::Id, its journal
// sequence). The component, its hooks and its `finished` carry the same id.
struct Delivery {
    // Why an attempt may bring a second copy, as the log says before it goes.
    enum class Repeat {
        No,
        AfterRestart,  // its end of data went out before the last restart
        SameMessageId, // an earlier attempt's end of data went out unanswered
    };

    std::uint64_t id = 0;
    int slot = -1;
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
};

// One record per message the dispatcher has handed to the component, or that
// a previous run left with a history (deferred, or on the wire at a crash).
// A record ends when the message's slot is freed.
class DeliveryBook {
public:
    // What the journal kept of the messages put back into the queue.
    void restore(const std::vector<QueueJournal::Entry> &entries);

    Delivery *find(std::uint64_t id);
    const Delivery *find(std::uint64_t id) const;
    // The record of the message in `slot`, made at its first attempt.
    Delivery &open(std::uint64_t id, int slot);
    void close(std::uint64_t id);

    // Neither on its way nor waiting for a later try; the clock is read only for a
    // message that waits.
    template <typename Now>
    bool isDue(std::uint64_t id, Now &&nowMs) const
    {
        const Delivery *delivery = find(id);
        if (!delivery)
            return true;
        if (delivery->inFlight)
            return false;
        return delivery->nextTryMs == 0 || delivery->nextTryMs <= nowMs();
    }

    // The attempt ended deferred: counted, and tried again at nextTryMs.
    void defer(Delivery &delivery, qint64 nextTryMs);
    int deferredCount() const { return m_deferred; }

private:
    std::unordered_map<std::uint64_t, Delivery> m_records;
    int m_deferred = 0; // records with attempts > 0
};

} // namespace corvane
