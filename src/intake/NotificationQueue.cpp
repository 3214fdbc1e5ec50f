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

QString recipientsOf(const RecipientList &list, std::vector<int> *leftOut)
{
    QString recipients;
    for (int slot = RecipientList::FirstSlot; slot <= RecipientList::LastSlot; ++slot) {
        const QString address = trimSpaces(list.Addresses[static_cast<std::size_t>(slot)]);
        if (!CheckEmailAddress(address, false)) {
            if (leftOut && !address.isEmpty())
                leftOut->push_back(slot);
            continue;
        }
        if (!recipients.isEmpty())
            recipients += QStringLiteral("; ");
        recipients += address;
    }
    return recipients;
}

NotificationQueue::NotificationQueue(const RecipientListTable &recipientLists, const ActivityLog &log,
                                     QueueJournal *journal, Clock clock)
    : m_recipientLists(recipientLists)
    , m_log(log)
    , m_journal(journal)
    , m_clock(std::move(clock))
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

std::optional<int> NotificationQueue::store(QueuedEmail entry)
{
    if (m_emailQueue.isFull())
        return std::nullopt; // nothing journalled for a message that has no place
    if (entry.QueuedAtMs == 0)
        entry.QueuedAtMs = m_clock().toMSecsSinceEpoch();
    entry.Id = m_journal ? m_journal->recordStored(entry.Recipients, entry.Subject, entry.Body, entry.QueuedAtMs)
                         : ++m_lastId;
    return m_emailQueue.store(std::move(entry));
}

void NotificationQueue::release(int slot)
{
    if (!m_emailQueue.isPending(slot))
        return;
    // A message delivered already has left the journal: the journal knows
    // that, and writes nothing twice.
    const std::uint64_t id = m_emailQueue.at(slot).Id;
    m_emailQueue.release(slot);
    if (m_journal)
        m_journal->recordFreed(id);
}

int NotificationQueue::restore(const std::vector<QueueJournal::Entry> &entries)
{
    int restored = 0;
    for (const QueueJournal::Entry &journalled : entries) {
        QueuedEmail entry;
        entry.Recipients = journalled.recipients;
        entry.Subject = journalled.subject;
        entry.Body = journalled.body;
        entry.Id = journalled.sequence;
        entry.QueuedAtMs = journalled.queuedAtMs;
        if (!m_emailQueue.store(std::move(entry)))
            break; // stays in the journal for a later start
        ++restored;
    }
    return restored;
}

bool NotificationQueue::syncJournal()
{
    return m_journal && m_journal->sync();
}

QueueResult NotificationQueue::QueueEmail(std::int16_t listNumber, const QString &subject,
                                          const QString &text)
{
    if (listNumber < RecipientListTable::FirstList || listNumber > RecipientListTable::LastList)
        return QueueResult::Dropped;
    if (trimSpaces(subject).isEmpty() || trimSpaces(text).isEmpty())
        return QueueResult::Dropped;

    QString recipients = recipientsOf(m_recipientLists[listNumber]);
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
    if (!store(std::move(email))) {
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
