#include "intake/IntakeTestSupport.h"

#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>

namespace corvane::test {

QByteArray datagram(const QByteArray &id, int command, int list, const QByteArray &payload)
{
    QByteArray d = id;
    d.append(static_cast<char>(command));
    d.append(static_cast<char>(list));
    d.append(payload);
    return d;
}

QByteArray ack(const QByteArray &id)
{
    return id + QByteArray("\x10\x01", 2);
}

QString senderProgram()
{
    const QString bin = qEnvironmentVariableIsSet("CORVANE_BIN_DIR")
        ? binDir()
        : QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return bin + QStringLiteral("/corvane-send");
}

void IntakeChain::buildChain()
{
    QDir(m_dir.path()).removeRecursively();
    m_log = std::make_unique<ActivityLog>(m_dir.path(), systemClock());
    m_queue = std::make_unique<NotificationQueue>(m_lists, *m_log);
    m_handler = std::make_unique<CommandHandler>(*m_queue);
}

} // namespace corvane::test
