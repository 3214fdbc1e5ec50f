#include "intake/DatagramBatchIO.h"

#include "intake/DatagramSystemIO.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <algorithm>
#include <array>
#include <vector>

namespace corvane {

namespace {

// Larger than any IPv4 UDP payload, so a datagram is never cut short.
constexpr int kMaxDatagram = 65536;

} // namespace

// Under load most datagrams arrive while earlier ones are handled; taking them,
// and answering them, 32 to a system call keeps the port from waking the
// senders once per datagram.
struct DatagramBatchIO::Buffers {
    std::vector<char> data = std::vector<char>(std::size_t{BatchSize} * kMaxDatagram);
    std::array<Datagram, BatchSize> received{};
    std::array<datagramio::Reply, BatchSize> replies;
    int pendingReplies = 0;
};

DatagramBatchIO::DatagramBatchIO(QUdpSocket &socket)
    : m_socket(socket)
    , m_buffers(std::make_unique<Buffers>())
{
}

DatagramBatchIO::~DatagramBatchIO() = default;

int DatagramBatchIO::enlargeReceiveBuffer(int wanted, int smallest)
{
    return datagramio::enlargeReceiveBuffer(m_socket, wanted, smallest);
}

int DatagramBatchIO::receiveBatch(int max)
{
    Buffers &b = *m_buffers;
    max = std::clamp(max, 0, BatchSize);
    return max > 0 ? datagramio::receive(m_socket, b.data.data(), kMaxDatagram, b.received.data(), max) : 0;
}

const DatagramBatchIO::Datagram &DatagramBatchIO::datagram(int index) const
{
    return m_buffers->received[static_cast<std::size_t>(index)];
}

// Through QUdpSocket; finding nothing is the normal end of a wake-up. A 0-byte
// datagram is a datagram.
bool DatagramBatchIO::receiveThroughSocket(Datagram *out)
{
    QHostAddress sender;
    char *buffer = m_buffers->data.data();
    const qint64 size = m_socket.readDatagram(buffer, kMaxDatagram, &sender);
    if (size < 0)
        return false;
    out->data = buffer;
    out->size = static_cast<qsizetype>(size);
    out->senderIPv4 = sender.toIPv4Address(&out->fromIPv4);
    return true;
}

void DatagramBatchIO::queueReply(const QByteArray &data, quint32 ipv4, quint16 port)
{
    Buffers &b = *m_buffers;
    if (b.pendingReplies == BatchSize)
        flushReplies();
    b.replies[static_cast<std::size_t>(b.pendingReplies++)] = datagramio::Reply{data, ipv4, port};
}

void DatagramBatchIO::flushReplies()
{
    Buffers &b = *m_buffers;
    datagramio::send(m_socket, b.replies.data(), b.pendingReplies);
    b.pendingReplies = 0;
}

} // namespace corvane
