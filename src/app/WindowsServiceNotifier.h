#pragma once

#include "app/ServiceNotifier.h"

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <QObject>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace corvane {

// The Service Control Manager's side of ServiceNotifier: under the SCM the
// program connects to it at once (a thread runs its dispatcher), reports
// START_PENDING while it starts, SERVICE_RUNNING at READY, STOP_PENDING with
// a wait hint at STOPPING, and SERVICE_STOPPED as the notifier goes, with an
// error code when the service never got ready (so the SCM's restart on
// failure applies). Stop and Shutdown from the SCM become a close request.
// The status line is kept in `StatusFile` in the service's folder for
// `corvane --status`, at most once a second. Started by hand, the program has no SCM and the
// notifier is inactive. Windows only.
class WindowsServiceNotifier : public ServiceNotifier {
public:
    static constexpr const char *ServiceName = "Corvane";
    static constexpr const char *StatusFile = "Corvane.status";
    // Stopping is done well within this; the SCM waits this long per step.
    static constexpr unsigned StopWaitHintMs = 5000;

    explicit WindowsServiceNotifier(const QString &folder);
    ~WindowsServiceNotifier() override;

    bool active() const override { return m_active; }
    void notify(const QByteArray &state) override;
    std::chrono::microseconds watchdogInterval() const override { return std::chrono::microseconds(0); }
    void onStopRequest(std::function<void()> handler) override;

    // The SCM's calls, on its threads.
    void serviceMain();
    void control(unsigned long code);

private:
    void report(unsigned long state, unsigned long waitHint = 0);
    void writeStatus();

    bool m_active = false;
    bool m_ready = false;
    std::thread m_dispatcher;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    enum class Phase { Connecting, NotAService, Running, Finished } m_phase = Phase::Connecting;
    void *m_statusHandle = nullptr;
    unsigned long m_checkPoint = 0;
    unsigned long m_state = 0;
    QObject m_context; // the thread the stop handler runs on
    std::function<void()> m_stopHandler;
    QByteArray m_status;
    QString m_statusPath;
    QTimer m_statusTimer; // one write a second at most, the last change included
};

} // namespace corvane
