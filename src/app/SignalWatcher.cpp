#include "app/SignalWatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {

constexpr int WatchedSignals[] = {SIGTERM, SIGINT, SIGHUP};

// A signal handler can reach nothing but globals; this holds the writing end of
// the socket pair while a watcher exists, -1 otherwise.
std::atomic<int> signalWriteFd{-1};

extern "C" void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = signalWriteFd.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe means a close request is already waiting; dropping this
        // one loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : CloseRequestWatcher(parent)
{
    int expected = -1;
    if (signalWriteFd.load() != -1)
        return; // another watcher already owns the handlers
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    if (!signalWriteFd.compare_exchange_strong(expected, m_fds[1])) {
        ::close(m_fds[0]);
        ::close(m_fds[1]);
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SignalWatcher::readSignals);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : WatchedSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    if (!m_notifier)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : WatchedSignals)
        ::sigaction(signalNumber, &action, nullptr);
    signalWriteFd.store(-1);
    m_notifier.reset();
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void SignalWatcher::readSignals()
{
    unsigned char buffer[16];
    for (;;) {
        const ssize_t count = ::read(m_fds[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            emit closeRequested(buffer[i]);
    }
}

std::unique_ptr<CloseRequestWatcher> watchCloseRequests()
{
    return std::make_unique<SignalWatcher>();
}

} // namespace corvane
