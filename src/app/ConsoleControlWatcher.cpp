#include "app/ConsoleControlWatcher.h"

#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace corvane {

namespace {

// A console handler can reach nothing but globals; this holds the watcher
// while it exists.
std::atomic<ConsoleControlWatcher *> activeWatcher{nullptr};

BOOL WINAPI onConsoleControl(DWORD event)
{
    ConsoleControlWatcher *watcher = activeWatcher.load();
    if (!watcher)
        return FALSE;
    watcher->deliver(event);
    return TRUE;
}

} // namespace

ConsoleControlWatcher::ConsoleControlWatcher(QObject *parent)
    : CloseRequestWatcher(parent)
{
    ConsoleControlWatcher *expected = nullptr;
    if (!activeWatcher.compare_exchange_strong(expected, this))
        return; // another watcher already owns the handler
    m_active = SetConsoleCtrlHandler(onConsoleControl, TRUE) != 0;
    if (!m_active)
        activeWatcher.store(nullptr);
}

ConsoleControlWatcher::~ConsoleControlWatcher()
{
    if (!m_active)
        return;
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    activeWatcher.store(nullptr);
}

void ConsoleControlWatcher::deliver(unsigned long event)
{
    const int reason = static_cast<int>(event);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        QMetaObject::invokeMethod(this, [this, reason] { emit closeRequested(reason); }, Qt::QueuedConnection);
        return;
    }
    // Close, logoff, shutdown: the process ends when this returns (after 5 s
    // at most for a closed console). Blocking until the owner's thread has run
    // the close request, which logs, closes the port and the journal at once.
    QMetaObject::invokeMethod(this, [this, reason] { emit closeRequested(reason); },
                              Qt::BlockingQueuedConnection);
}

std::unique_ptr<CloseRequestWatcher> watchCloseRequests()
{
    return std::make_unique<ConsoleControlWatcher>();
}

} // namespace corvane
