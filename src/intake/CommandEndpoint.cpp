#include "intake/CommandEndpoint.h"

#include "intake/CommandHandler.h"
#include "intake/DatagramBatchIO.h"
#include "intake/NotificationQueue.h"

#include <QNetworkInterface>
#include <QScopedValueRollback>

#include <algorithm>

namespace corvane {

namespace {

// After this many datagrams in one go the event loop gets a turn (timers, the
// window) before the rest is read; the socket stays readable, so readyRead
// comes straight back.
constexpr int kMaxPerWakeUp = 1024;

// What we ask for the receive queue. An alarm storm arrives faster than one
// event-loop turn can drain it, and the default queue holds only about 190
// small datagrams.
constexpr int kWantedReceiveBuffer = 16 * 1024 * 1024;
constexpr int kSmallestReceiveBuffer = 256 * 1024;

// A burst of foreign datagrams must not turn into a burst of interface
// enumerations; a new local address is picked up at most this late.
constexpr qint64 kRefreshIntervalMs = 500;

} // namespace

CommandEndpoint::CommandEndpoint(CommandHandler &handler, quint16 listenPort, quint16 ackPort,
                                 QObject *parent)
    : QObject(parent)
    , m_handler(handler)
    , m_listenPort(listenPort)
    , m_ackPort(ackPort)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &CommandEndpoint::readPendingDatagrams);
}

CommandEndpoint::~CommandEndpoint() = default;

Result CommandEndpoint::start()
{
    // DontShareAddress: a second Corvane (or anything else on the port) must
    // make this one fail rather than split the datagrams between them.
    if (!m_socket.bind(QHostAddress::AnyIPv4, m_listenPort, QAbstractSocket::DontShareAddress)) {
        return Result::failure(
            QStringLiteral("cannot bind UDP port %1: %2").arg(m_listenPort).arg(m_socket.errorString()));
    }
    m_listenPort = m_socket.localPort(); // the port the system chose when asked for 0
    m_io = std::make_unique<DatagramBatchIO>(m_socket);
    m_receiveBufferSize = m_io->enlargeReceiveBuffer(kWantedReceiveBuffer, kSmallestReceiveBuffer);
    refreshLocalAddresses();
    return Result::success();
}

void CommandEndpoint::readPendingDatagrams()
{
    // A nested event loop in some slot may bring us back here while the batch
    // buffers are in use; the outer call reads on until the queue is empty.
    if (!m_io || m_reading)
        return;
    const QScopedValueRollback<bool> reading(m_reading, true);
    int taken = 0;
    for (;;) {
        taken += drainQueue(kMaxPerWakeUp - taken);
        flushReplies();
        if (taken >= kMaxPerWakeUp) {
            // Let timers and the window have their turn, then go on.
            QMetaObject::invokeMethod(this, &CommandEndpoint::readPendingDatagrams, Qt::QueuedConnection);
            return;
        }
        // The last read of every wake-up goes through QUdpSocket: it re-arms its
        // read notifier only after a read of its own, and without that (say a
        // slot ran a nested event loop meanwhile) the port would fall silent.
        DatagramBatchIO::Datagram last;
        if (!m_io->receiveThroughSocket(&last))
            return;
        ++taken;
        if (last.fromIPv4)
            handleDatagram(last.data, last.size, last.senderIPv4);
        flushReplies();
    }
}

int CommandEndpoint::drainQueue(int budget)
{
    int taken = 0;
    while (taken < budget) {
        const int received = m_io->receiveBatch(std::min(DatagramBatchIO::BatchSize, budget - taken));
        if (received == 0)
            break;
        {
            // Three log lines and a journal record per message: one write of
            // each for the batch instead, made before any of its datagrams is
            // answered.
            const NotificationQueue::Batch batch(m_handler.queue());
            for (int i = 0; i < received; ++i) {
                const DatagramBatchIO::Datagram &d = m_io->datagram(i);
                if (d.fromIPv4)
                    handleDatagram(d.data, d.size, d.senderIPv4);
            }
        }
        // Only the replies that need no sync: the held ones wait until the
        // receive queue is empty, so one sync serves everything read meanwhile.
        m_io->flushReplies();
        taken += received;
    }
    return taken;
}

void CommandEndpoint::flushReplies()
{
    m_io->flushReplies();
    if (m_held.empty())
        return;
    // Whether the sync succeeds or the queue runs memory only, the sender gets
    // its answer: the datagram did arrive and its message is queued.
    m_handler.syncQueued();
    for (const HeldReply &reply : m_held)
        m_io->queueReply(reply.ack, reply.ipv4, m_ackPort);
    m_held.clear();
    m_io->flushReplies();
}

void CommandEndpoint::handleDatagram(const char *data, qsizetype size, quint32 senderIPv4)
{
    if (!isLocalAddress(senderIPv4)) {
        ++m_foreignDatagrams;
        emit foreignDatagramDropped();
        return;
    }
    bool queued = false;
    const std::optional<QByteArray> ack = m_handler.handle(QByteArray(data, size), &queued);
    // Answers leave in the order the datagrams came: once one waits for the
    // sync, the ones after it in the same batch wait with it.
    if (ack && (queued || !m_held.empty()))
        m_held.push_back(HeldReply{*ack, senderIPv4});
    else if (ack)
        m_io->queueReply(*ack, senderIPv4, m_ackPort);
    emit datagramHandled();
}

bool CommandEndpoint::isLocalAddress(quint32 ipv4)
{
    if ((ipv4 >> 24) == 127)
        return true;
    if (m_localAddresses.count(ipv4) != 0)
        return true;
    // An interface may have come up since the last look.
    if (m_sinceRefresh.isValid() && m_sinceRefresh.elapsed() < kRefreshIntervalMs)
        return false;
    refreshLocalAddresses();
    return m_localAddresses.count(ipv4) != 0;
}

void CommandEndpoint::refreshLocalAddresses()
{
    m_localAddresses.clear();
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        bool isIPv4 = false;
        const quint32 ipv4 = address.toIPv4Address(&isIPv4);
        if (isIPv4)
            m_localAddresses.insert(ipv4);
    }
    m_sinceRefresh.start();
}

} // namespace corvane
