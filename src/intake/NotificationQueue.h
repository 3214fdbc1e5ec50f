#pragma once

#include "intake/EmailQueue.h"
#include "storage/Settings.h"

#include <QString>

#include <cstdint>

namespace corvane {

class ActivityLog;

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
class NotificationQueue {
public:
    NotificationQueue(const RecipientListTable &recipientLists, const ActivityLog &log);

    // Validates, expands the list, stores the message in the lowest free slot and
    // logs it. Nothing is stored or logged unless the result is Queued.
    QueueResult QueueEmail(std::int16_t listNumber, const QString &subject, const QString &text);

    QueuedEmailArray EmailQueue;

private:
    // The list's accepted addresses, trimmed, in slot order, joined by "; ".
    QString recipientsOf(std::int16_t listNumber) const;

    const RecipientListTable &m_recipientLists;
    const ActivityLog &m_log;
};

} // namespace corvane
