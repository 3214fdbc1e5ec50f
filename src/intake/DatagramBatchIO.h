#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

class QUdpSocket;

namespace corvane {

// Datagram I/O for a bound QUdpSocket, in batches: many datagrams per system
// call where the system has that (recvmmsg/sendmmsg on Linux), one at a time
// otherwise (DatagramSystemIO.h). Everything the command port does that
// depends on the operating system lives behind it.
class DatagramBatchIO {
public:
    // Datagrams taken, and replies given, per call.
    static constexpr int BatchSize = 32;

    struct Datagram {
        const char *data = nullptr;
        qsizetype size = 0;
        quint32 senderIPv4 = 0;
        bool fromIPv4 = false; // false: the sender is no IPv4 address, ignore it
    };

    explicit DatagramBatchIO(QUdpSocket &socket);
    ~DatagramBatchIO();
    DatagramBatchIO(const DatagramBatchIO &) = delete;
    DatagramBatchIO &operator=(const DatagramBatchIO &) = delete;

    // Asks for a receive queue of `wanted` bytes, halving down to `smallest`
    // where refused, as far past the system's usual limit as our privileges
    // allow. Returns the size in effect as read back, 0 if unknown.
    int enlargeReceiveBuffer(int wanted, int smallest);

    // Takes up to `max` (at most BatchSize) datagrams already queued, without
    // waiting; datagram(0..n-1) are valid until the next receive call. Returns
    // n, 0 when the queue is empty.
    int receiveBatch(int max);
    const Datagram &datagram(int index) const;

    // Reads one datagram through QUdpSocket's own read, which re-arms its read
    // notifier; the last read of every wake-up must be one of these. Returns
    // false when nothing was queued. A 0-byte datagram is a datagram.
    bool receiveThroughSocket(Datagram *out);

    // Queues a reply for `port` at `ipv4`; queued replies go out on flush, or
    // when the queue is full. One that cannot be sent is skipped, not waited for.
    void queueReply(const QByteArray &data, quint32 ipv4, quint16 port);
    void flushReplies();

private:
    struct Buffers;

    QUdpSocket &m_socket;
    std::unique_ptr<Buffers> m_buffers;
};

} // namespace corvane
