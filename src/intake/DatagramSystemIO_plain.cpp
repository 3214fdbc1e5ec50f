#include "intake/DatagramSystemIO.h"

#include <QHostAddress>
#include <QUdpSocket>
#include <QVariant>

namespace corvane::datagramio {

// One datagram per call, through QUdpSocket: the same order, the same
// batches seen from above, only more system calls.

int receive(QUdpSocket &socket, char *storage, int stride, DatagramBatchIO::Datagram *out, int max)
{
    int taken = 0;
    while (taken < max && socket.hasPendingDatagrams()) {
        char *buffer = storage + std::size_t(taken) * std::size_t(stride);
        QHostAddress sender;
        const qint64 size = socket.readDatagram(buffer, stride, &sender);
        if (size < 0)
            break;
        DatagramBatchIO::Datagram &d = out[taken++];
        d.data = buffer;
        d.size = static_cast<qsizetype>(size);
        d.senderIPv4 = sender.toIPv4Address(&d.fromIPv4);
    }
    return taken;
}

void send(QUdpSocket &socket, const Reply *replies, int count)
{
    for (int i = 0; i < count; ++i)
        socket.writeDatagram(replies[i].data, QHostAddress(replies[i].ipv4), replies[i].port);
}

int enlargeReceiveBuffer(QUdpSocket &socket, int wanted, int smallest)
{
    for (int size = wanted; size >= smallest; size /= 2) {
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, size);
        if (socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() >= size)
            break;
    }
    return socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

} // namespace corvane::datagramio
