#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace corvane {

// A name lookup that nothing ever waits for: the system resolver runs on a
// detached thread, and its answer comes back through the event loop of the
// thread that asked, unless the lookup was dropped first. Qt's own lookups
// run in a pool that the program's end waits for, so a name server that never
// answers would hold a close for half a minute.
class HostLookup {
public:
    using Done = std::function<void(const QList<QHostAddress> &addresses, const QString &error)>;

    HostLookup() = default;
    ~HostLookup() { abandon(); }
    HostLookup(const HostLookup &) = delete;
    HostLookup &operator=(const HostLookup &) = delete;

    // `done` runs later on `context`'s thread, once, unless abandon() or the
    // destructor came first; `context` must outlive this object or call abandon(). A literal address answers at once (still later).
    void start(QObject *context, const QString &host, Done done);
    void abandon();

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace corvane
