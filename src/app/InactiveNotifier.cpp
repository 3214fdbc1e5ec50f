#include "app/ServiceNotifier.h"

namespace corvane {

namespace {

// For platforms without systemd: the service runs the same, telling no one.
class InactiveNotifier : public ServiceNotifier {
public:
    bool active() const override { return false; }
    void notify(const QByteArray &) override {}
    std::chrono::microseconds watchdogInterval() const override { return std::chrono::microseconds(0); }
};

} // namespace

std::unique_ptr<ServiceNotifier> makeSystemServiceNotifier(const QString &)
{
    return std::make_unique<InactiveNotifier>();
}

} // namespace corvane
