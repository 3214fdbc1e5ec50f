#pragma once

#include "app/CloseRequestWatcher.h"

#include <memory>

class QSocketNotifier;

namespace corvane {

// Turns SIGTERM, SIGINT and SIGHUP (a service manager stopping the program, a
// logout, Ctrl+C, `kill`) into a Qt signal on the thread that owns the watcher,
// so they become ordinary close requests. The handler only writes one byte into
// a socket pair; everything else happens in the event loop. Only one watcher
// may exist at a time. Linux only; ConsoleControlWatcher is Windows' own.
class SignalWatcher : public CloseRequestWatcher {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

    bool isActive() const override { return m_notifier != nullptr; }

private:
    void readSignals();

    int m_fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace corvane
