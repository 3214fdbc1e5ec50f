#include "app/SystemdNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace corvane {

SystemdNotifier::SystemdNotifier()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    m_active = socket != nullptr && *socket != '\0';
    std::uint64_t usec = 0;
    // Checks WATCHDOG_PID too: a watchdog meant for a parent is not ours.
    if (m_active && sd_watchdog_enabled(0, &usec) > 0)
        m_watchdog = std::chrono::microseconds(usec);
}

void SystemdNotifier::notify(const QByteArray &state)
{
    if (m_active)
        sd_notify(0, state.constData());
}

std::unique_ptr<ServiceNotifier> makeSystemServiceNotifier(const QString &)
{
    return std::make_unique<SystemdNotifier>();
}

} // namespace corvane
