#pragma once

#include <QObject>

#include <memory>

namespace corvane {

// Turns the system's ways of asking a program to end (signals on Linux,
// console control events on Windows) into one Qt signal on the thread that
// owns the watcher, so they become ordinary close requests.
class CloseRequestWatcher : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual bool isActive() const = 0;

signals:
    // `reason`: the signal number, or the console control event.
    void closeRequested(int reason);
};

// This system's watcher: SignalWatcher on Linux, ConsoleControlWatcher on Windows.
std::unique_ptr<CloseRequestWatcher> watchCloseRequests();

} // namespace corvane
