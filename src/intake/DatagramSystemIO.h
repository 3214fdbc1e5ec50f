#pragma once

#include "intake/DatagramBatchIO.h"

#include <QByteArray>

class QUdpSocket;

namespace corvane::datagramio {

// The system calls behind DatagramBatchIO: many datagrams per call where the
// system has that (recvmmsg/sendmmsg, DatagramSystemIO_mmsg.cpp), one at a
// time through QUdpSocket elsewhere (DatagramSystemIO_plain.cpp).

struct Reply {
    QByteArray data;
    quint32 ipv4 = 0;
    quint16 port = 0;
};

// Takes up to `max` datagrams already queued, without waiting, into `max`
// buffers of `stride` bytes from `storage`. Returns how many.
int receive(QUdpSocket &socket, char *storage, int stride, DatagramBatchIO::Datagram *out, int max);
// Sends the replies; one that cannot be sent is skipped, not waited for.
void send(QUdpSocket &socket, const Reply *replies, int count);
// See DatagramBatchIO::enlargeReceiveBuffer.
int enlargeReceiveBuffer(QUdpSocket &socket, int wanted, int smallest);

} // namespace corvane::datagramio
