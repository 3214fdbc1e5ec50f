#pragma once

#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace corvane::test {

// A command as programs send it: id bytes, command byte, list byte, "subject~text".
QByteArray datagram(const QByteArray &id, int command, int list, const QByteArray &payload);

// The acknowledgement the endpoint answers a datagram carrying `id` with.
QByteArray ack(const QByteArray &id);

// corvane-send beside the program in bin/, also when the test is run by hand.
QString senderProgram();

// What sits behind the command port: a log in a scratch folder, the queue and
// the handler. Test classes derive from it beside QObject, so their slots keep
// using the members as their own.
class IntakeChain {
protected:
    // Starts from an empty log folder and builds the chain on `m_lists`.
    void buildChain();
    int pending() const { return m_queue->emailQueue().pendingCount(); }

    QTemporaryDir m_dir;
    RecipientListTable m_lists;
    std::unique_ptr<ActivityLog> m_log;
    std::unique_ptr<NotificationQueue> m_queue;
    std::unique_ptr<CommandHandler> m_handler;
};

} // namespace corvane::test
