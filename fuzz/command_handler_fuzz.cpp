// Feeds arbitrary datagrams, alone and in sequences, to the command handler with
// real recipient lists and a real log, and checks the answers it gives.
//
// Input layout: the whole input is one datagram; then it is read again as a
// sequence of records, each a length byte followed by that many bytes, so the
// repeat filter sees chains of related datagrams.

#include "FuzzInvariant.h"
#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"

#include <QDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace corvane;
using corvane::fuzz::check;

namespace {

struct World {
    RecipientListTable lists;
    ActivityLog log;
    NotificationQueue queue;
    CommandHandler handler;

    World()
        : log(QDir::tempPath() + QStringLiteral("/corvane-fuzz-log"), systemClock())
        , queue(lists, log)
        , handler(queue)
    {
        for (int list = 1; list <= 8; ++list) {
            lists[list].Name = QStringLiteral("List %1").arg(list);
            for (int slot = 1; slot <= 16; slot += list)
                lists[list].Addresses[static_cast<std::size_t>(slot)] =
                    QStringLiteral(" user%1.%2@example.com ").arg(list).arg(slot);
        }
        lists[3].Addresses[2] = QStringLiteral("@");
        lists[4].Addresses[5] = QStringLiteral("no address");
    }
};

void feed(World &world, const QByteArray &datagram)
{
    const QByteArray before = world.handler.lastMessageId();
    const int pendingBefore = world.queue.emailQueue().pendingCount();
    const std::optional<QByteArray> ack = world.handler.handle(datagram);
    const QByteArray id = datagram.left(4);
    const bool repeat = CommandHandler::sameId(id, before);

    check(world.handler.lastMessageId() == (repeat ? before : id), "last id");
    if (repeat || !datagram.isEmpty())
        check(ack.has_value() && *ack == id + QByteArray("\x10\x01", 2), "acknowledgement");
    else
        check(!ack.has_value(), "empty datagram after an id is not answered");

    const int pendingAfter = world.queue.emailQueue().pendingCount();
    const bool mayQueue = !repeat && datagram.size() >= 6 && datagram[4] == 1
        && static_cast<unsigned char>(datagram[5]) >= 1 && static_cast<unsigned char>(datagram[5]) <= 8
        && datagram.indexOf('~', 6) >= 0;
    check(pendingAfter == pendingBefore || (mayQueue && pendingAfter == pendingBefore + 1), "queued at most once");

    // Keep the queue from filling up over a long run, as the dispatcher would.
    if (pendingAfter > 2000) {
        for (int i = 0; i <= world.queue.emailQueue().upperBound(); ++i)
            world.queue.release(i);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static World world;
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    feed(world, input);
    qsizetype pos = 0;
    while (pos < input.size()) {
        const auto length = static_cast<unsigned char>(input[pos]);
        feed(world, input.mid(pos + 1, length));
        pos += 1 + length;
    }
    return 0;
}
