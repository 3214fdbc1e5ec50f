#pragma once

#include <QByteArray>

#include <chrono>
#include <memory>

namespace corvane {

// What the service tells the service manager that started it: ready, stopping,
// a status line, and that it is still alive. On systems or in runs without such
// a manager, active() is false and nothing is sent.
class ServiceNotifier {
public:
    virtual ~ServiceNotifier() = default;

    virtual bool active() const = 0;
    // One or more "KEY=value" lines, e.g. "READY=1".
    virtual void notify(const QByteArray &state) = 0;
    // How often the manager expects a keep-alive at the latest; zero: never.
    virtual std::chrono::microseconds watchdogInterval() const = 0;
};

// The notifier of this platform: systemd's on Linux, an inactive one elsewhere.
std::unique_ptr<ServiceNotifier> makeSystemServiceNotifier();

} // namespace corvane
