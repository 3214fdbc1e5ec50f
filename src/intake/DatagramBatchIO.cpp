#include "intake/DatagramBatchIO.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <algorithm>
#include <array>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace corvane {

namespace {

// Larger than any IPv4 UDP payload, so a datagram is never cut short.
constexpr int kMaxDatagram = 65536;

// Through QUdpSocket; finding nothing is the normal end of a wake-up, reported
// as -1. A 0-byte datagram is a datagram.
bool readOne(QUdpSocket &socket, char *buffer, DatagramBatchIO::Datagram *out)
{
    QHostAddress sender;
    const qint64 size = socket.readDatagram(buffer, kMaxDatagram, &sender);
    if (size < 0)
        return false;
    out->data = buffer;
    out->size = static_cast<qsizetype>(size);
    out->senderIPv4 = sender.toIPv4Address(&out->fromIPv4);
    return true;
}

} // namespace

// Under load most datagrams arrive while earlier ones are handled; taking them,
// and answering them, 32 to a system call keeps the port from waking the
// senders once per datagram.
struct DatagramBatchIO::Buffers {
    std::vector<char> data = std::vector<char>(std::size_t{BatchSize} * kMaxDatagram);
    std::array<Datagram, BatchSize> received{};
    std::array<mmsghdr, BatchSize> in{};
    std::array<iovec, BatchSize> inVec{};
    std::array<sockaddr_in, BatchSize> from{};

    std::array<QByteArray, BatchSize> replies;
    std::array<mmsghdr, BatchSize> out{};
    std::array<iovec, BatchSize> outVec{};
    std::array<sockaddr_in, BatchSize> to{};
    int pendingReplies = 0;
};

int DatagramBatchIO::enlargeReceiveBuffer(int wanted, int smallest)
{
    const int fd = static_cast<int>(m_socket.socketDescriptor());
    // With the privilege for it, SO_RCVBUFFORCE goes past net.core.rmem_max
    // without touching that system-wide setting; otherwise the kernel caps
    // SO_RCVBUF at rmem_max on its own. Systems that refuse a size outright get
    // half of it, and so on.
    for (int size = wanted; size >= smallest; size /= 2) {
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
            break;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0)
            break;
    }
    int actual = 0;
    socklen_t length = sizeof actual;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &actual, &length) == 0 ? actual : 0;
}

int DatagramBatchIO::receiveBatch(int max)
{
    Buffers &b = *m_buffers;
    max = std::clamp(max, 0, BatchSize);
    for (int i = 0; i < max; ++i) {
        b.inVec[i].iov_base = b.data.data() + std::size_t(i) * kMaxDatagram;
        b.inVec[i].iov_len = kMaxDatagram;
        b.in[i].msg_hdr = msghdr{};
        b.in[i].msg_hdr.msg_iov = &b.inVec[i];
        b.in[i].msg_hdr.msg_iovlen = 1;
        b.in[i].msg_hdr.msg_name = &b.from[i];
        b.in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        b.in[i].msg_len = 0;
    }
    const int fd = static_cast<int>(m_socket.socketDescriptor());
    const int received = max > 0 ? recvmmsg(fd, b.in.data(), static_cast<unsigned>(max), MSG_DONTWAIT, nullptr) : 0;
    if (received <= 0)
        return 0;
    for (int i = 0; i < received; ++i) {
        Datagram &d = b.received[i];
        d.data = static_cast<const char *>(b.inVec[i].iov_base);
        d.size = static_cast<qsizetype>(b.in[i].msg_len);
        d.fromIPv4 = b.in[i].msg_hdr.msg_namelen >= sizeof(sockaddr_in) && b.from[i].sin_family == AF_INET;
        d.senderIPv4 = d.fromIPv4 ? ntohl(b.from[i].sin_addr.s_addr) : 0;
    }
    return received;
}

void DatagramBatchIO::queueReply(const QByteArray &data, quint32 ipv4, quint16 port)
{
    Buffers &b = *m_buffers;
    if (b.pendingReplies == BatchSize)
        flushReplies();
    const int i = b.pendingReplies++;
    b.replies[i] = data;
    b.to[i] = sockaddr_in{};
    b.to[i].sin_family = AF_INET;
    b.to[i].sin_port = htons(port);
    b.to[i].sin_addr.s_addr = htonl(ipv4);
}

void DatagramBatchIO::flushReplies()
{
    Buffers &b = *m_buffers;
    const int count = b.pendingReplies;
    b.pendingReplies = 0;
    for (int i = 0; i < count; ++i) {
        b.outVec[i].iov_base = b.replies[i].data();
        b.outVec[i].iov_len = static_cast<std::size_t>(b.replies[i].size());
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
        // A lost reply is the sender's to retry: one that cannot be sent is
        // skipped, not waited for.
        sent += n > 0 ? n : 1;
    }
}


bool DatagramBatchIO::receiveThroughSocket(Datagram *out)
{
    return readOne(m_socket, m_buffers->data.data(), out);
}

DatagramBatchIO::DatagramBatchIO(QUdpSocket &socket)
    : m_socket(socket)
    , m_buffers(std::make_unique<Buffers>())
{
}

DatagramBatchIO::~DatagramBatchIO() = default;

const DatagramBatchIO::Datagram &DatagramBatchIO::datagram(int index) const
{
    return m_buffers->received[static_cast<std::size_t>(index)];
}

} // namespace corvane
