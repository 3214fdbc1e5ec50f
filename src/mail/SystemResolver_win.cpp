#include "mail/SystemResolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace corvane {

namespace {

// Winsock counts its users; the lookup thread is one while it runs.
struct Winsock {
    bool ready = false;
    Winsock()
    {
        WSADATA data{};
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Winsock()
    {
        if (ready)
            WSACleanup();
    }
};

struct AddrInfo {
    ADDRINFOW *list = nullptr;
    ~AddrInfo()
    {
        if (list)
            FreeAddrInfoW(list);
    }
};

} // namespace

void resolveWithSystem(const QByteArray &host, QList<QHostAddress> *addresses, QString *error)
{
    const Winsock winsock;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    AddrInfo result;
    const std::wstring name = QString::fromUtf8(host).toStdWString();
    const int status = GetAddrInfoW(name.c_str(), nullptr, &hints, &result.list);
    if (status != 0) {
        *error = qt_error_string(status);
        return;
    }
    for (const ADDRINFOW *entry = result.list; entry; entry = entry->ai_next) {
        const QHostAddress address(entry->ai_addr);
        if (!address.isNull() && !addresses->contains(address))
            addresses->append(address);
    }
}

} // namespace corvane
