#pragma once

#include "intake/EmailQueue.h"
#include "storage/ActivityLog.h"
#include "storage/QueueJournal.h"
#include "storage/Settings.h"

#include <QString>

#include <cstdint>
#include <map>
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

// The single entry point for new notifications, from the command port and the
// test dialog alike. Reads the recipient lists at the moment of the call.
//
// With a journal, every message stored and every slot freed is written to it as
// it happens; syncJournal() makes that durable, and is what an acknowledgement
// waits for. Without one the queue lives in memory only.
class NotificationQueue {
public:
    NotificationQueue(const RecipientListTable &recipientLists, const ActivityLog &log,
                      QueueJournal *journal = nullptr);
    ~NotificationQueue();

    // Validates, expands the list, stores the message in the lowest free slot and
    // logs it. Nothing is stored or logged unless the result is Queued.
    QueueResult QueueEmail(std::int16_t listNumber, const QString &subject, const QString &text);

    // The slots as they stand; the dispatcher walks them.
    const QueuedEmailArray &emailQueue() const { return m_emailQueue; }

    // Stores an entry as it is (no validation, no log line) in the lowest free
    // slot; the slot, or nothing at the capacity limit.
    std::optional<int> store(QueuedEmail entry);

    // Frees a slot once its send call has returned, whatever the outcome.
    void release(int slot);

    // The message in the slot is about to reach a server, with this
    // Message-ID: after a crash it is sent again with the same one, and said
    // to be a repeat.
    void markSending(int slot, const QByteArray &messageId);
    // The server accepted the message in the slot: it leaves the journal now,
    // so a crash does not send it again; the slot itself stays taken until
    // release().
    void markDelivered(int slot);
    // The Message-ID a restored message went to a server with before the
    // restart (perhaps empty, from an older journal); nothing when it never
    // got that far.
    std::optional<QByteArray> sentBeforeRestart(int slot) const;

    // A message whose attempt met a passing failure keeps its slot, and its
    // place in the queue, until its next try.
    struct RetryState {
        qint64 firstAttemptMs = 0; // milliseconds since the epoch
        int attempts = 0;          // attempts that ended deferred
        qint64 nextTryMs = 0;      // not tried before this; 0 after a restart: at once
        // Its end of data once went out unanswered: every later try repeats
        // messageId.
        bool repeatsMessageId = false;
        QByteArray messageId;
    };
    // Records the deferral (in the journal too). A Message-ID given, or one
    // the message went out with before a restart, stays with it.
    void defer(int slot, const RetryState &state);
    // Nothing for a slot that was never deferred.
    const RetryState *retryState(int slot) const;
    // Pending and not waiting for a later try.
    bool isDue(int slot, qint64 nowMs) const;
    int deferredCount() const { return int(m_retryOfSlot.size()); }

    // Puts messages a previous run left in the journal back, in the given
    // order, without journalling them again. Returns how many found a slot.
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
    // The list's accepted addresses, trimmed, in slot order, joined by "; ".
    QString recipientsOf(std::int16_t listNumber) const;
    std::optional<int> storeJournalled(QueuedEmail entry);

    const RecipientListTable &m_recipientLists;
    const ActivityLog &m_log;
    QueueJournal *m_journal;
    QueuedEmailArray m_emailQueue;
    std::uint64_t sequenceOf(int slot) const;

    std::vector<std::uint64_t> m_sequenceOfSlot; // journal sequence per slot, 0 when free or delivered
    std::map<int, QByteArray> m_resentOfSlot;     // restored slots that had reached a server
    std::map<int, RetryState> m_retryOfSlot;      // deferred slots
};

} // namespace corvane
