#include "intake/NotificationQueue.h"

#include "storage/ActivityLog.h"
#include "storage/QueueJournal.h"

#include <cstdio>
#include <utility>

namespace corvane {

bool CheckEmailAddress(const QString &address, bool allowEmpty)
{
    const QString trimmed = trimSpaces(address);
    if (trimmed.isEmpty())
        return allowEmpty;
    return trimmed.contains(QLatin1Char('@'));
}

NotificationQueue::NotificationQueue(const RecipientListTable &recipientLists, const ActivityLog &log,
                                     QueueJournal *journal)
    : m_recipientLists(recipientLists)
    , m_log(log)
    , m_journal(journal)
{
}

NotificationQueue::~NotificationQueue() = default;

NotificationQueue::Batch::Batch(NotificationQueue &queue)
    : m_log(queue.m_log)
{
    if (queue.m_journal)
        m_journal.emplace(*queue.m_journal);
}

NotificationQueue::Batch::~Batch() = default;

std::optional<int> NotificationQueue::storeJournalled(QueuedEmail entry)
{
    const QString recipients = entry.Recipients;
    const QString subject = entry.Subject;
    const QString body = entry.Body;
    const std::optional<int> slot = m_emailQueue.store(std::move(entry));
    if (!slot)
        return slot;
    const auto index = static_cast<std::size_t>(*slot);
    if (m_sequenceOfSlot.size() <= index)
        m_sequenceOfSlot.resize(static_cast<std::size_t>(m_emailQueue.size()), 0);
    m_sequenceOfSlot[index] = m_journal ? m_journal->recordStored(recipients, subject, body) : 0;
    return slot;
}

std::optional<int> NotificationQueue::store(QueuedEmail entry)
{
    return storeJournalled(std::move(entry));
}

std::uint64_t NotificationQueue::sequenceOf(int slot) const
{
    const auto index = static_cast<std::size_t>(slot);
    return slot >= 0 && index < m_sequenceOfSlot.size() ? m_sequenceOfSlot[index] : 0;
}

void NotificationQueue::markSending(int slot, const QByteArray &messageId)
{
    if (const std::uint64_t sequence = sequenceOf(slot); m_journal && sequence != 0)
        m_journal->recordSending(sequence, messageId);
}

void NotificationQueue::markDelivered(int slot)
{
    const std::uint64_t sequence = sequenceOf(slot);
    if (sequence == 0)
        return;
    m_sequenceOfSlot[static_cast<std::size_t>(slot)] = 0; // release() has nothing left to record
    if (m_journal)
        m_journal->recordFreed(sequence);
}

std::optional<QByteArray> NotificationQueue::sentBeforeRestart(int slot) const
{
    const auto it = m_resentOfSlot.find(slot);
    if (it == m_resentOfSlot.end())
        return std::nullopt;
    return it->second;
}

void NotificationQueue::defer(int slot, const RetryState &state)
{
    if (!m_emailQueue.isPending(slot))
        return;
    RetryState kept = state;
    if (const auto resent = m_resentOfSlot.find(slot); resent != m_resentOfSlot.end()) {
        if (!kept.repeatsMessageId) {
            kept.repeatsMessageId = true;
            kept.messageId = resent->second;
        }
        // Tried in this run: later tries are repeats of a deferral, not of a restart.
        m_resentOfSlot.erase(resent);
    }
    if (const auto prior = m_retryOfSlot.find(slot);
        !kept.repeatsMessageId && prior != m_retryOfSlot.end() && prior->second.repeatsMessageId) {
        kept.repeatsMessageId = true;
        kept.messageId = prior->second.messageId;
    }
    if (const std::uint64_t sequence = sequenceOf(slot); m_journal && sequence != 0)
        m_journal->recordDeferred(sequence, kept.firstAttemptMs, kept.attempts);
    m_retryOfSlot[slot] = std::move(kept);
}

const NotificationQueue::RetryState *NotificationQueue::retryState(int slot) const
{
    const auto it = m_retryOfSlot.find(slot);
    return it == m_retryOfSlot.end() ? nullptr : &it->second;
}

bool NotificationQueue::isDue(int slot, qint64 nowMs) const
{
    if (!m_emailQueue.isPending(slot))
        return false;
    const RetryState *state = retryState(slot);
    return !state || state->nextTryMs <= nowMs;
}

void NotificationQueue::release(int slot)
{
    if (!m_emailQueue.isPending(slot))
        return;
    m_emailQueue.release(slot);
    m_resentOfSlot.erase(slot);
    m_retryOfSlot.erase(slot);
    const auto index = static_cast<std::size_t>(slot);
    if (index < m_sequenceOfSlot.size()) {
        const std::uint64_t sequence = std::exchange(m_sequenceOfSlot[index], 0);
        if (m_journal && sequence != 0)
            m_journal->recordFreed(sequence);
    }
}

int NotificationQueue::restore(const std::vector<QueueJournal::Entry> &entries)
{
    int restored = 0;
    for (const QueueJournal::Entry &journalled : entries) {
        QueuedEmail entry;
        entry.Recipients = journalled.recipients;
        entry.Subject = journalled.subject;
        entry.Body = journalled.body;
        const std::optional<int> slot = m_emailQueue.store(std::move(entry));
        if (!slot)
            break; // stays in the journal for a later start
        const auto index = static_cast<std::size_t>(*slot);
        if (m_sequenceOfSlot.size() <= index)
            m_sequenceOfSlot.resize(static_cast<std::size_t>(m_emailQueue.size()), 0);
        m_sequenceOfSlot[index] = journalled.sequence;
        if (journalled.sending)
            m_resentOfSlot[*slot] = journalled.messageId;
        // Deferred before the restart: tried at once, its count and first
        // attempt kept, so Retry_Hours still counts from that attempt.
        if (journalled.attempts > 0)
            m_retryOfSlot[*slot] = {journalled.firstAttemptMs, journalled.attempts, 0, false, {}};
        ++restored;
    }
    return restored;
}

bool NotificationQueue::syncJournal()
{
    return m_journal && m_journal->sync();
}

QString NotificationQueue::recipientsOf(std::int16_t listNumber) const
{
    QString recipients;
    const RecipientList &list = m_recipientLists[listNumber];
    for (int slot = RecipientList::FirstSlot; slot <= RecipientList::LastSlot; ++slot) {
        const QString address = trimSpaces(list.Addresses[static_cast<std::size_t>(slot)]);
        if (!CheckEmailAddress(address, false))
            continue;
        if (!recipients.isEmpty())
            recipients += QStringLiteral("; ");
        recipients += address;
    }
    return recipients;
}

QueueResult NotificationQueue::QueueEmail(std::int16_t listNumber, const QString &subject,
                                          const QString &text)
{
    if (listNumber < RecipientListTable::FirstList || listNumber > RecipientListTable::LastList)
        return QueueResult::Dropped;
    if (trimSpaces(subject).isEmpty() || trimSpaces(text).isEmpty())
        return QueueResult::Dropped;

    QString recipients = recipientsOf(listNumber);
    if (recipients.isEmpty())
        return QueueResult::Dropped;

    QString entry;
    entry.reserve(recipients.size() + subject.size() + text.size() + 30);
    entry.append(QLatin1String("Address: ")).append(recipients).append(QLatin1String("\r\nSubject: "));
    entry.append(subject).append(QLatin1String("\r\nText: ")).append(text).append(QLatin1String("\r\n"));

    QueuedEmail email;
    email.Recipients = std::move(recipients);
    email.Subject = subject;
    email.Body = text;
    if (!storeJournalled(std::move(email))) {
        // Nothing is logged for a lost request, so the operator's only trace
        // of it is this line.
        std::fprintf(stderr, "corvane: queue full (%d messages pending): a message for list %d was dropped\n",
                     m_emailQueue.pendingCount(), static_cast<int>(listNumber));
        return QueueResult::Overflow;
    }

    m_log.WriteLog(entry);
    return QueueResult::Queued;
}

} // namespace corvane
