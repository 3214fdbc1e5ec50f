#include "mail/SystemResolver.h"

#include <netdb.h>
#include <sys/socket.h>

namespace corvane {

namespace {

struct AddrInfo {
    addrinfo *list = nullptr;
    ~AddrInfo()
    {
        if (list)
            freeaddrinfo(list);
    }
};

} // namespace

void resolveWithSystem(const QByteArray &host, QList<QHostAddress> *addresses, QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    AddrInfo result;
    const int status = getaddrinfo(host.constData(), nullptr, &hints, &result.list);
    if (status != 0) {
        *error = QString::fromLocal8Bit(gai_strerror(status));
        return;
    }
    for (const addrinfo *entry = result.list; entry; entry = entry->ai_next) {
        const QHostAddress address(entry->ai_addr);
        if (!address.isNull() && !addresses->contains(address))
            addresses->append(address);
    }
}

} // namespace corvane
