#include "ServiceRig.h"

#include "support/TestSupport.h"

#include <QDir>

namespace corvane::test {

QStringList logMessagesIn(const QString &logFolder)
{
    QStringList messages;
    for (const QByteArray &file : readFiles(logFolder, QStringLiteral(".TXT"))) {
        for (QByteArray line : file.split('\n')) {
            if (line.endsWith('\r'))
                line.chop(1);
            if (!line.isEmpty())
                messages << QString::fromUtf8(line.mid(10)); // after "hh:mm:ss  "
        }
    }
    return messages;
}

ServiceRig::ServiceRig(std::chrono::milliseconds tickInterval)
{
    m_options.folder = m_dir.path();
    m_options.listenPort = 0; // the endpoint binds a free port and reports it
    m_options.ackPort = freeUdpPort();
    m_options.tickInterval = tickInterval;
    m_options.clock = [state = m_clock] {
        ++state->readings;
        return state->now;
    };
    MailTimeouts timeouts;
    timeouts.connect = std::chrono::seconds(3);
    timeouts.serverReply = std::chrono::seconds(5);
    timeouts.wholeAttempt = std::chrono::seconds(10);
    m_options.mailTimeouts = timeouts;
}

Service &ServiceRig::service()
{
    if (!m_service)
        m_service = std::make_unique<Service>(m_options);
    return *m_service;
}

bool ServiceRig::start(QString *error)
{
    const Result started = service().start();
    if (error)
        *error = started.error;
    return started.ok;
}

QStringList ServiceRig::logMessages() const
{
    return logMessagesIn(QDir(m_dir.path()).filePath(QStringLiteral("Logs")));
}

int ServiceRig::countLogged(const QString &message) const
{
    return static_cast<int>(logMessages().count(message));
}

} // namespace corvane::test
