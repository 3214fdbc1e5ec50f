#include "intake/CommandEndpoint.h"

#include "intake/CommandHandler.h"

#include <QNetworkInterface>
#include <QScopedValueRollback>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace corvane {

namespace {

// Larger than any IPv4 UDP payload, so a datagram is never cut short.
constexpr int kMaxDatagram = 65536;

// Datagrams taken from the kernel, and acknowledgements given to it, per call.
constexpr int kBatchSize = 32;

// After this many datagrams in one go the event loop gets a turn (timers, the
// window) before the rest is read; the socket stays readable, so readyRead
// comes straight back.
constexpr int kMaxPerWakeUp = 1024;

// What we ask of the kernel for the receive queue. An alarm storm arrives
// faster than one event-loop turn can drain it, and the default queue holds
// only about 190 small datagrams.
constexpr int kWantedReceiveBuffer = 16 * 1024 * 1024;
constexpr int kSmallestReceiveBuffer = 256 * 1024;

// A burst of foreign datagrams must not turn into a burst of interface
// enumerations; a new local address is picked up at most this late.
constexpr qint64 kRefreshIntervalMs = 500;

} // namespace

// Buffers for recvmmsg/sendmmsg. Under load most datagrams arrive while earlier
// ones are handled; taking them, and answering them, 32 to a system call keeps
// the endpoint from waking the senders once per datagram.
struct CommandEndpoint::Batch {
    std::vector<char> data = std::vector<char>(std::size_t{kBatchSize} * kMaxDatagram);
    std::array<mmsghdr, kBatchSize> in{};
    std::array<iovec, kBatchSize> inVec{};
    std::array<sockaddr_in, kBatchSize> from{};

    std::array<QByteArray, kBatchSize> acks;
    std::array<mmsghdr, kBatchSize> out{};
    std::array<iovec, kBatchSize> outVec{};
    std::array<sockaddr_in, kBatchSize> to{};
    int pendingAcks = 0;

    void prepareReceive()
    {
        for (int i = 0; i < kBatchSize; ++i) {
            inVec[i].iov_base = data.data() + std::size_t(i) * kMaxDatagram;
            inVec[i].iov_len = kMaxDatagram;
            in[i].msg_hdr = msghdr{};
            in[i].msg_hdr.msg_iov = &inVec[i];
            in[i].msg_hdr.msg_iovlen = 1;
            in[i].msg_hdr.msg_name = &from[i];
            in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            in[i].msg_len = 0;
        }
    }
};

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

bool CommandEndpoint::start(QString *error)
{
    // DontShareAddress: a second Corvane (or anything else on the port) must
    // make this one fail rather than split the datagrams between them.
    if (!m_socket.bind(QHostAddress::AnyIPv4, m_listenPort, QAbstractSocket::DontShareAddress)) {
        if (error) {
            *error = QStringLiteral("cannot bind UDP port %1: %2")
                         .arg(m_listenPort)
                         .arg(m_socket.errorString());
        }
        return false;
    }
    m_batch = std::make_unique<Batch>();
    enlargeReceiveBuffer();
    refreshLocalAddresses();
    return true;
}

void CommandEndpoint::enlargeReceiveBuffer()
{
    const int fd = static_cast<int>(m_socket.socketDescriptor());
    // With the privilege for it, SO_RCVBUFFORCE goes past net.core.rmem_max
    // without touching that system-wide setting; otherwise the kernel caps
    // SO_RCVBUF at rmem_max on its own. Systems that refuse a size outright get
    // half of it, and so on.
    for (int size = kWantedReceiveBuffer; size >= kSmallestReceiveBuffer; size /= 2) {
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
            break;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0)
            break;
    }
    int actual = 0;
    socklen_t length = sizeof actual;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &actual, &length) == 0)
        m_receiveBufferSize = actual;
}

void CommandEndpoint::readPendingDatagrams()
{
    // A nested event loop in some slot may bring us back here while the batch
    // buffers are in use; the outer call reads on until the queue is empty.
    if (!m_batch || m_reading)
        return;
    const QScopedValueRollback<bool> reading(m_reading, true);
    int taken = 0;
    for (;;) {
        taken += drainKernelQueue(kMaxPerWakeUp - taken);
        flushAcknowledgements();
        if (taken >= kMaxPerWakeUp) {
            // Let timers and the window have their turn, then go on.
            QMetaObject::invokeMethod(this, &CommandEndpoint::readPendingDatagrams, Qt::QueuedConnection);
            return;
        }
        // The last read of every wake-up goes through QUdpSocket: it re-arms its
        // read notifier only after a read of its own, and without that (say a
        // slot ran a nested event loop meanwhile) the port would fall silent.
        // Finding nothing is the normal end here, reported as -1. A 0-byte
        // datagram is a datagram: size 0, not "nothing there".
        QHostAddress sender;
        const qint64 size = m_socket.readDatagram(m_batch->data.data(), kMaxDatagram, &sender);
        if (size < 0)
            return;
        ++taken;
        bool isIPv4 = false;
        const quint32 senderIPv4 = sender.toIPv4Address(&isIPv4);
        if (isIPv4)
            handleDatagram(m_batch->data.data(), size, senderIPv4);
        flushAcknowledgements();
    }
}

int CommandEndpoint::drainKernelQueue(int budget)
{
    const int fd = static_cast<int>(m_socket.socketDescriptor());
    int taken = 0;
    while (taken < budget) {
        m_batch->prepareReceive();
        const int received = recvmmsg(fd, m_batch->in.data(), static_cast<unsigned>(std::min(kBatchSize, budget - taken)),
                                      MSG_DONTWAIT, nullptr);
        if (received <= 0)
            break;
        for (int i = 0; i < received; ++i) {
            const msghdr &header = m_batch->in[i].msg_hdr;
            if (header.msg_namelen < sizeof(sockaddr_in) || m_batch->from[i].sin_family != AF_INET)
                continue;
            handleDatagram(static_cast<const char *>(m_batch->inVec[i].iov_base), m_batch->in[i].msg_len,
                           ntohl(m_batch->from[i].sin_addr.s_addr));
        }
        flushAcknowledgements();
        taken += received;
    }
    return taken;
}

void CommandEndpoint::handleDatagram(const char *data, qsizetype size, quint32 senderIPv4)
{
    if (!isLocalAddress(senderIPv4)) {
        ++m_foreignDatagrams;
        emit foreignDatagramDropped();
        return;
    }
    const std::optional<QByteArray> ack = m_handler.handle(QByteArray(data, size));
    if (ack) {
        if (m_batch->pendingAcks == kBatchSize)
            flushAcknowledgements();
        const int i = m_batch->pendingAcks++;
        m_batch->acks[i] = *ack;
        sockaddr_in &to = m_batch->to[i];
        to = sockaddr_in{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_ackPort);
        to.sin_addr.s_addr = htonl(senderIPv4);
    }
    emit datagramHandled();
}

void CommandEndpoint::flushAcknowledgements()
{
    Batch &b = *m_batch;
    const int count = b.pendingAcks;
    b.pendingAcks = 0;
    for (int i = 0; i < count; ++i) {
        b.outVec[i].iov_base = b.acks[i].data();
        b.outVec[i].iov_len = static_cast<std::size_t>(b.acks[i].size());
        b.out[i].msg_hdr = msghdr{};
        b.out[i].msg_hdr.msg_iov = &b.outVec[i];
        b.out[i].msg_hdr.msg_iovlen = 1;
        b.out[i].msg_hdr.msg_name = &b.to[i];
        b.out[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int fd = static_cast<int>(m_socket.socketDescriptor());
    int sent = 0;
    while (sent < count) {
        const int n = sendmmsg(fd, b.out.data() + sent, static_cast<unsigned>(count - sent), MSG_DONTWAIT);
        // A lost acknowledgement is the sender's to retry: one that cannot be
        // sent is skipped, not waited for.
        sent += n > 0 ? n : 1;
    }
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
