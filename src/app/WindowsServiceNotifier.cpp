#include "app/WindowsServiceNotifier.h"

#include "storage/FileSystem.h"

#include <QDir>
#include <QMetaObject>

#include <atomic>

#include <windows.h>

namespace corvane {

namespace {

// ServiceMain gets no context of its own; this holds the notifier while it
// connects.
std::atomic<WindowsServiceNotifier *> connecting{nullptr};

std::wstring serviceName()
{
    return QString::fromLatin1(WindowsServiceNotifier::ServiceName).toStdWString();
}

void WINAPI serviceMainEntry(DWORD, LPWSTR *)
{
    if (WindowsServiceNotifier *notifier = connecting.load())
        notifier->serviceMain();
}

DWORD WINAPI controlEntry(DWORD code, DWORD, LPVOID, LPVOID context)
{
    static_cast<WindowsServiceNotifier *>(context)->control(code);
    return NO_ERROR;
}

} // namespace

WindowsServiceNotifier::WindowsServiceNotifier(const QString &folder)
    : m_statusPath(QDir(folder).filePath(QLatin1String(StatusFile)))
{
    connecting.store(this);
    m_dispatcher = std::thread([this] {
        std::wstring name = serviceName();
        SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMainEntry}, {nullptr, nullptr}};
        // Returns at once, failing, when no SCM started this process;
        // otherwise once the service has reported SERVICE_STOPPED.
        const bool dispatched = StartServiceCtrlDispatcherW(table) != 0;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!dispatched || m_phase == Phase::Connecting) {
            m_phase = Phase::NotAService;
            m_changed.notify_all();
        }
    });
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_phase != Phase::Connecting; });
    m_active = m_phase == Phase::Running;
    lock.unlock();
    connecting.store(nullptr);
    if (!m_active) {
        m_dispatcher.join();
        return;
    }
    m_statusTimer.setSingleShot(true);
    m_statusTimer.setInterval(1000);
    QObject::connect(&m_statusTimer, &QTimer::timeout, &m_context, [this] { writeStatus(); });
}

WindowsServiceNotifier::~WindowsServiceNotifier()
{
    if (!m_active)
        return;
    m_statusTimer.stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_phase = Phase::Finished;
    }
    m_changed.notify_all();
    m_dispatcher.join();
}

void WindowsServiceNotifier::serviceMain()
{
    const std::wstring name = serviceName();
    m_statusHandle = RegisterServiceCtrlHandlerExW(name.c_str(), controlEntry, this);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_statusHandle) {
        m_phase = Phase::NotAService;
        m_changed.notify_all();
        return;
    }
    lock.unlock();
    // Start-up reads the settings and the journal: give it time.
    report(SERVICE_START_PENDING, 30000);
    lock.lock();
    m_phase = Phase::Running;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_phase == Phase::Finished; });
    lock.unlock();
    // A service that never got ready failed: the SCM's restart applies.
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwWin32ExitCode = m_ready ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = m_ready ? 0 : 1;
    SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(m_statusHandle), &status);
}

void WindowsServiceNotifier::control(unsigned long code)
{
    // Only handed on: STOP_PENDING is reported by the close itself (STOPPING),
    // and the SCM knows the last state without being told again. Reporting
    // from inside the handler held Wine's SCM up until it gave up on us.
    if (code != SERVICE_CONTROL_STOP && code != SERVICE_CONTROL_SHUTDOWN)
        return;
    QMetaObject::invokeMethod(&m_context, [this] {
        if (m_stopHandler)
            m_stopHandler();
    }, Qt::QueuedConnection);
}

void WindowsServiceNotifier::report(unsigned long state, unsigned long waitHint)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_statusHandle || m_state == SERVICE_STOPPED)
        return;
    // Each report of the same pending state counts on, so the SCM sees progress.
    m_checkPoint = state == m_state && waitHint ? m_checkPoint + 1 : (waitHint ? 1 : 0);
    m_state = state;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = m_checkPoint;
    SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(m_statusHandle), &status);
}

void WindowsServiceNotifier::notify(const QByteArray &state)
{
    if (!m_active)
        return;
    for (const QByteArray &line : state.split('\n')) {
        if (line == "READY=1") {
            m_ready = true;
            report(SERVICE_RUNNING);
        } else if (line == "STOPPING=1") {
            report(SERVICE_STOP_PENDING, StopWaitHintMs);
        } else if (line.startsWith("STATUS=")) {
            m_status = line.mid(7);
            if (!m_statusTimer.isActive())
                m_statusTimer.start();
        }
    }
}

void WindowsServiceNotifier::onStopRequest(std::function<void()> handler)
{
    m_stopHandler = std::move(handler);
}

// `corvane --status` reads the line here, as `systemctl status` shows it on
// Linux: a changing text does not belong in the service's description, which
// only an administrator may change. Written whole or not at all.
void WindowsServiceNotifier::writeStatus()
{
    (void)fs::replaceFile(m_statusPath, m_status + "\r\n", fs::Permissions::KeepOrOwnerOnly);
}

std::unique_ptr<ServiceNotifier> makeSystemServiceNotifier(const QString &folder)
{
    return std::make_unique<WindowsServiceNotifier>(folder);
}

} // namespace corvane
