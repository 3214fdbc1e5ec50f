#include "app/ServiceControl.h"

#include <cstdio>

namespace corvane {

namespace {

int referToSystemd()
{
    std::fputs("corvane: on Linux the service is the systemd unit corvane.service: the Debian package "
               "installs it (make deb), and `systemctl status corvane` shows how it is doing.\n",
               stderr);
    return 2;
}

} // namespace

int installService(const QString &)
{
    return referToSystemd();
}

int uninstallService()
{
    return referToSystemd();
}

int printServiceStatus()
{
    return referToSystemd();
}

} // namespace corvane
