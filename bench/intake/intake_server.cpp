// Corvane's intake alone, for the throughput benchmark: the command endpoint
// with recipient lists and a real log, and a stand-in for the dispatcher that
// frees every pending slot every 100 ms so a long run never fills the queue.
// Usage: intake_server PORT ACK_PORT LOG_FOLDER [SPOOL_FOLDER]
// With a spool folder the queue is journalled and a send command acknowledged
// once on disk; the journal's sync count is printed as "SYNCS n" when it moves.
// Prints READY (with the receive buffer size) once bound; runs until killed.

#include "intake/CommandEndpoint.h"
#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "storage/QueueJournal.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace corvane;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4 && args.size() != 5) {
        std::fprintf(stderr, "usage: intake_server PORT ACK_PORT LOG_FOLDER [SPOOL_FOLDER]\n");
        return 2;
    }
    RecipientListTable lists;
    lists[1].Addresses[1] = QStringLiteral("ops@example.com");
    lists[1].Addresses[2] = QStringLiteral("oncall@example.com");
    const ActivityLog log(args.at(3), systemClock());
    std::unique_ptr<QueueJournal> journal;
    if (args.size() == 5) {
        journal = std::make_unique<QueueJournal>(args.at(4), systemClock(), [](const QString &text) {
            std::fprintf(stderr, "%s\n", qPrintable(text));
        });
        journal->open();
    }
    NotificationQueue queue(lists, log, journal.get());
    CommandHandler handler(queue);
    CommandEndpoint endpoint(handler, args.at(1).toUShort(), args.at(2).toUShort());
    if (const Result started = endpoint.start(); !started) {
        std::fprintf(stderr, "%s\n", qPrintable(started.error));
        return 1;
    }
    QTimer dispatcher;
    QObject::connect(&dispatcher, &QTimer::timeout, [&] {
        for (int i = 0; i <= queue.emailQueue().upperBound(); ++i)
            queue.release(i);
    });
    dispatcher.start(100);
    QTimer syncReport;
    std::uint64_t reported = 0;
    QObject::connect(&syncReport, &QTimer::timeout, [&] {
        if (journal && journal->syncCount() != reported) {
            reported = journal->syncCount();
            std::printf("SYNCS %llu\n", static_cast<unsigned long long>(reported));
            std::fflush(stdout);
        }
    });
    syncReport.start(50);
    std::printf("READY receive buffer %d bytes\n", endpoint.receiveBufferSize());
    std::fflush(stdout);
    return app.exec();
}
