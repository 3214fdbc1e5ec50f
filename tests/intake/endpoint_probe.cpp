// A command endpoint in a process of its own, for tests that need it inside a
// network namespace. Usage: endpoint_probe PORT ACK_PORT LOG_FOLDER
// Prints "READY" once bound, then one line per datagram:
//   HANDLED id=<hex of LastMessageId> pending=<n>
//   DROPPED foreign=<n>

#include "intake/CommandEndpoint.h"
#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"

#include <QCoreApplication>

#include <cstdio>

using namespace corvane;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: endpoint_probe PORT ACK_PORT LOG_FOLDER\n");
        return 2;
    }
    RecipientListTable lists;
    lists[1].Addresses[1] = QStringLiteral("ops@example.com");
    const ActivityLog log(args.at(3), systemClock());
    NotificationQueue queue(lists, log);
    CommandHandler handler(queue);
    CommandEndpoint endpoint(handler, args.at(1).toUShort(), args.at(2).toUShort());
    QObject::connect(&endpoint, &CommandEndpoint::datagramHandled, [&] {
        std::printf("HANDLED id=%s pending=%d\n", handler.lastMessageId().toHex().constData(),
                    queue.emailQueue().pendingCount());
        std::fflush(stdout);
    });
    QObject::connect(&endpoint, &CommandEndpoint::foreignDatagramDropped, [&] {
        std::printf("DROPPED foreign=%llu\n", static_cast<unsigned long long>(endpoint.foreignDatagrams()));
        std::fflush(stdout);
    });
    if (const Result started = endpoint.start(); !started) {
        std::fprintf(stderr, "%s\n", qPrintable(started.error));
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    return app.exec();
}
