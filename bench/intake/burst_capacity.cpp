// How large a burst the command port holds: N datagrams are written while the
// endpoint is not reading at all (as when the program is busy), then it reads
// what the kernel kept. Usage: burst_capacity [N...]

#include "intake/CommandEndpoint.h"
#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstdio>

using namespace corvane;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList sizes = QCoreApplication::arguments().mid(1);
    if (sizes.isEmpty())
        sizes = {QStringLiteral("300"), QStringLiteral("5000"), QStringLiteral("20000"), QStringLiteral("60000")};
    QTemporaryDir dir;
    RecipientListTable lists;
    const ActivityLog log(dir.path(), systemClock());
    for (const QString &size : sizes) {
        const int burst = size.toInt();
        NotificationQueue queue(lists, log);
        CommandHandler handler(queue);
        CommandEndpoint bound(handler, 31195, 31196);
        if (const Result started = bound.start(); !started) {
            std::fprintf(stderr, "%s\n", qPrintable(started.error));
            return 1;
        }
        int handled = 0;
        QObject::connect(&bound, &CommandEndpoint::datagramHandled, [&] { ++handled; });
        QUdpSocket peer;
        peer.bind(QHostAddress::LocalHost, 31196);
        for (int i = 0; i < burst; ++i) {
            QByteArray d = QByteArray::number(i).rightJustified(4, '0').right(4);
            d += QByteArray("\x00\x01", 2);
            peer.writeDatagram(d, QHostAddress::LocalHost, 31195);
        }
        QElapsedTimer quiet;
        quiet.start();
        int last = -1;
        while (quiet.elapsed() < 300) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            if (handled != last) {
                last = handled;
                quiet.restart();
            }
        }
        std::printf("burst %6d: %6d held and handled (receive buffer %d bytes)\n", burst, handled,
                    bound.receiveBufferSize());
    }
    return 0;
}
