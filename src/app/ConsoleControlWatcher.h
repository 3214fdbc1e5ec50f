#pragma once

#include "app/CloseRequestWatcher.h"

namespace corvane {

// Windows' console control events as close requests: Ctrl+C and Ctrl+Break
// are passed on and the program goes on to close by itself; closing the
// console window (and logging off or shutting down, for a console without
// windows) ends the process as soon as the handler returns, so the handler
// waits until the close request has been handled: "Program Closed" logged,
// the command port and the journal closed. Only one watcher may exist at a
// time. Windows only; SignalWatcher is Linux's own.
class ConsoleControlWatcher : public CloseRequestWatcher {
    Q_OBJECT
public:
    explicit ConsoleControlWatcher(QObject *parent = nullptr);
    ~ConsoleControlWatcher() override;

    bool isActive() const override { return m_active; }

    // Called on the system's handler thread: hands the event to the owner's
    // thread; returns once it has been handled there for the events after
    // which Windows ends the process.
    void deliver(unsigned long event);

private:
    bool m_active = false;
};

} // namespace corvane
