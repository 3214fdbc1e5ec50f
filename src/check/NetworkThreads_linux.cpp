#include "check/NetworkThreads.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <thread>

namespace corvane {

namespace {

// Qt names a thread after its object name, cut to the 15 bytes Linux keeps.
bool networkThreadLeft()
{
    const QByteArray name = QByteArrayLiteral("QNetworkAccessManager thread").left(15);
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            return true;
    }
    return false;
}

} // namespace

void awaitNetworkThreadsGone(std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    while (networkThreadLeft() && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace corvane
