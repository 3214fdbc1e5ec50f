#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>
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
    // A manager that asks for the stop itself rather than with a signal (the
    // Windows Service Control Manager) runs `handler` on the thread that made
    // the notifier. systemd sends SIGTERM instead.
    virtual void onStopRequest(std::function<void()> handler) { (void)handler; }
};

// The notifier of this platform: systemd's on Linux (InactiveNotifier without
// libsystemd), the Service Control Manager's on Windows. Made before start-up,
// so a manager waiting for the service hears from it at once. `folder` is the
// service's own (Corvane.ini, Logs): where the status line is kept for a
// manager that has no place for it (Windows).
std::unique_ptr<ServiceNotifier> makeSystemServiceNotifier(const QString &folder);

} // namespace corvane
