#pragma once

#include "intake/EmailQueue.h"
#include "storage/ActivityLog.h"
#include "storage/Clock.h"
#include "storage/QueueJournal.h"
#include "storage/Settings.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

enum class QueueResult {
    Queued,   // stored and logged
    Dropped,  // invalid request: nothing stored, nothing logged
    Overflow, // every one of the 32,701 slots is pending: nothing stored or logged
};

// The address test: trimmed, non-empty and holding an '@' somewhere; an empty
// text passes only when allowEmpty is true.
bool CheckEmailAddress(const QString &address, bool allowEmpty);

// The recipients text of a message for `list`, as QueueEmail stores it: each
// slot's address trimmed, in slot order, those that pass CheckEmailAddress,
// joined by "; ". `leftOut`, when given, receives the slots whose text is not
// empty but fails the test. The account check reads its addresses here too.
QString recipientsOf(const RecipientList &list, std::vector<int> *leftOut = nullptr);

// The single entry point for new notifications, from the command port and the
// test dialog alike. Reads the recipient lists at the moment of the call.
//
// With a journal, every message stored and every slot freed is written to it as
// it happens; syncJournal() makes that durable, and is what an acknowledgement
// waits for. Without one the queue lives in memory only.
class NotificationQueue {
public:
    // `clock` stamps each message with the time it was accepted.
    NotificationQueue(const RecipientListTable &recipientLists, const ActivityLog &log,
                      QueueJournal *journal = nullptr, Clock clock = systemClock());
    ~NotificationQueue();

    // Validates, expands the list, stores the message in the lowest free slot and
    // logs it. Nothing is stored or logged unless the result is Queued.
    QueueResult QueueEmail(std::int16_t listNumber, const QString &subject, const QString &text);

    // The slots as they stand; the dispatcher walks them.
    const QueuedEmailArray &emailQueue() const { return m_emailQueue; }

    // Stores an entry as it is (no validation, no log line) in the lowest free
    // slot, with an id of its own and the time now (unless it has one); the
    // slot, or nothing at the capacity limit.
    std::optional<int> store(QueuedEmail entry);

    // Frees a slot once its message is done with, whatever the outcome; the
    // journal forgets the message (if it has not already).
    void release(int slot);

    // Puts messages a previous run left in the journal back, in the given
    // order, each with its journal sequence as its id, without journalling
    // them again. Returns how many found a slot: the first ones of `entries`.
    int restore(const std::vector<QueueJournal::Entry> &entries);

    // Makes the journal records so far durable; true when they are on disk.
    bool syncJournal();

    // While one is alive, the log lines and journal records of the messages
    // queued and freed are gathered into one write each, made when it ends
    // (the journal's also at syncJournal()).
    class Batch {
    public:
        explicit Batch(NotificationQueue &queue);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        ActivityLog::Batch m_log;
        std::optional<QueueJournal::Batch> m_journal;
    };

private:
    const RecipientListTable &m_recipientLists;
    const ActivityLog &m_log;
    QueueJournal *m_journal;
    Clock m_clock;
    QueuedEmailArray m_emailQueue;
    std::uint64_t m_lastId = 0; // without a journal
};

} // namespace corvane
