#include "intake/DatagramSystemIO.h"

#include <QUdpSocket>

#include <array>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace corvane::datagramio {

int receive(QUdpSocket &socket, char *storage, int stride, DatagramBatchIO::Datagram *out, int max)
{
    std::array<mmsghdr, DatagramBatchIO::BatchSize> in{};
    std::array<iovec, DatagramBatchIO::BatchSize> vec{};
    std::array<sockaddr_in, DatagramBatchIO::BatchSize> from{};
    for (int i = 0; i < max; ++i) {
        vec[i].iov_base = storage + std::size_t(i) * std::size_t(stride);
        vec[i].iov_len = static_cast<std::size_t>(stride);
        in[i].msg_hdr.msg_iov = &vec[i];
        in[i].msg_hdr.msg_iovlen = 1;
        in[i].msg_hdr.msg_name = &from[i];
        in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int fd = static_cast<int>(socket.socketDescriptor());
    const int received = recvmmsg(fd, in.data(), static_cast<unsigned>(max), MSG_DONTWAIT, nullptr);
    if (received <= 0)
        return 0;
    for (int i = 0; i < received; ++i) {
        DatagramBatchIO::Datagram &d = out[i];
        d.data = static_cast<const char *>(vec[i].iov_base);
        d.size = static_cast<qsizetype>(in[i].msg_len);
        d.fromIPv4 = in[i].msg_hdr.msg_namelen >= sizeof(sockaddr_in) && from[i].sin_family == AF_INET;
        d.senderIPv4 = d.fromIPv4 ? ntohl(from[i].sin_addr.s_addr) : 0;
    }
    return received;
}

void send(QUdpSocket &socket, const Reply *replies, int count)
{
    std::array<mmsghdr, DatagramBatchIO::BatchSize> out{};
    std::array<iovec, DatagramBatchIO::BatchSize> vec{};
    std::array<sockaddr_in, DatagramBatchIO::BatchSize> to{};
    for (int i = 0; i < count; ++i) {
        vec[i].iov_base = const_cast<char *>(replies[i].data.constData());
        vec[i].iov_len = static_cast<std::size_t>(replies[i].data.size());
        to[i].sin_family = AF_INET;
        to[i].sin_port = htons(replies[i].port);
        to[i].sin_addr.s_addr = htonl(replies[i].ipv4);
        out[i].msg_hdr.msg_iov = &vec[i];
        out[i].msg_hdr.msg_iovlen = 1;
        out[i].msg_hdr.msg_name = &to[i];
        out[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int fd = static_cast<int>(socket.socketDescriptor());
    int sent = 0;
    while (sent < count) {
        const int n = sendmmsg(fd, out.data() + sent, static_cast<unsigned>(count - sent), MSG_DONTWAIT);
        // A lost reply is the sender's to retry: one that cannot be sent is
        // skipped, not waited for.
        sent += n > 0 ? n : 1;
    }
}

int enlargeReceiveBuffer(QUdpSocket &socket, int wanted, int smallest)
{
    const int fd = static_cast<int>(socket.socketDescriptor());
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

} // namespace corvane::datagramio
