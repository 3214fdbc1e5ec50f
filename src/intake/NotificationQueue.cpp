#include "intake/NotificationQueue.h"

#include "storage/ActivityLog.h"

#include <utility>

namespace corvane {

bool CheckEmailAddress(const QString &address, bool allowEmpty)
{
    const QString trimmed = trimSpaces(address);
    if (trimmed.isEmpty())
        return allowEmpty;
    return trimmed.contains(QLatin1Char('@'));
}

NotificationQueue::NotificationQueue(const RecipientListTable &recipientLists, const ActivityLog &log)
    : m_recipientLists(recipientLists)
    , m_log(log)
{
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
    if (!EmailQueue.store(std::move(email)))
        return QueueResult::Overflow;

    m_log.WriteLog(entry);
    return QueueResult::Queued;
}

} // namespace corvane
