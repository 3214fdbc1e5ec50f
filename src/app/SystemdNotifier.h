#pragma once

#include "app/ServiceNotifier.h"

namespace corvane {

// sd_notify(3) to the socket systemd names in NOTIFY_SOCKET. Linux only.
class SystemdNotifier : public ServiceNotifier {
public:
    SystemdNotifier();

    bool active() const override { return m_active; }
    void notify(const QByteArray &state) override;
    std::chrono::microseconds watchdogInterval() const override { return m_watchdog; }

private:
    bool m_active = false;
    std::chrono::microseconds m_watchdog{0};
};

} // namespace corvane
