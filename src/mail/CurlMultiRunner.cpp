#include "mail/CurlMultiRunner.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace corvane {

namespace {
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longest wait between two looks at the clock and the cancel flag, even if a
// wake-up got lost.
constexpr int PollMs = 200;
// A wait this long means the server is thinking: time to hand on reports.
constexpr int QuietMs = 5;

milliseconds since(SteadyClock::time_point then, SteadyClock::time_point now)
{
    return std::chrono::duration_cast<milliseconds>(now - then);
}
} // namespace

struct CurlMultiRunner::Watch {
    // Written by the running thread (libcurl's debug callback), read by the
    // watchdog as well.
    const DebugSink *debug = nullptr;
    const SteadyClock::time_point start = SteadyClock::now();
    std::atomic<SteadyClock::rep> lastTraffic{start.time_since_epoch().count()};
    std::atomic<bool> connected{false};
    std::atomic<bool> reused{false};
    std::atomic<bool> replied{false};

    void moved() { lastTraffic = SteadyClock::now().time_since_epoch().count(); }

    // The stall this transfer is in at `now`, and how long until the next
    // limit could be reached.
    Stall check(const Limits &limits, SteadyClock::time_point now, milliseconds *untilNext) const
    {
        const milliseconds elapsed = since(start, now);
        const milliseconds quiet = since(SteadyClock::time_point(SteadyClock::duration(lastTraffic.load())), now);
        milliseconds next = limits.whole - elapsed;
        if (elapsed >= limits.whole)
            return Stall::Whole;
        if (!connected) {
            if (elapsed >= limits.connect)
                return Stall::Connect;
            next = std::min(next, limits.connect - elapsed);
        } else {
            if (reused && !replied && limits.reusedFirstReply.count() > 0) {
                if (quiet >= limits.reusedFirstReply)
                    return Stall::ReusedSilent;
                next = std::min(next, limits.reusedFirstReply - quiet);
            }
            if (quiet >= limits.reply)
                return Stall::Reply;
            next = std::min(next, limits.reply - quiet);
        }
        *untilNext = next;
        return Stall::None;
    }
};

CurlMultiRunner::CurlMultiRunner() : m_multi(curl_multi_init())
{
    m_watchdog = std::thread([this] { watchdog(); });
}

CurlMultiRunner::~CurlMultiRunner()
{
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_quit = true;
    }
    m_watchChanged.notify_all();
    m_watchdog.join();
    abandonConnections();
}

void CurlMultiRunner::watchdog()
{
    // How often it looks: reports reach the operator within this, and a stall
    // inside a blocking libcurl call ends this late at most.
    constexpr milliseconds Period{50};
    std::unique_lock<std::mutex> lock(m_watchMutex);
    for (;;) {
        m_watchdogIdle = true;
        m_watchChanged.wait(lock, [this] { return m_quit || m_watched; });
        m_watchdogIdle = false;
        // While transfers follow one another it keeps its own beat: starting
        // or ending one wakes nobody, so a burst pays no thread switches for it.
        while (!m_quit && m_watched) {
            if (m_watchChanged.wait_for(lock, Period, [this] { return m_quit; }))
                return;
            if (!m_watched)
                break;
            milliseconds untilNext{0};
            const Stall stall = m_watched->check(*m_watchedLimits, SteadyClock::now(), &untilNext);
            if (stall != Stall::None && m_watchdogStall.load() == Stall::None) {
                m_watchdogStall = stall;
                shutdownSockets(); // a blocked libcurl call returns at once
            }
            if (m_pending && m_pending())
                m_flush();
        }
        if (m_quit)
            return;
    }
}

void CurlMultiRunner::reset()
{
    CurlMultiHandle old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_multi);
        m_multi.reset(curl_multi_init());
    }
    // `old` closes its connections here, outside the lock, so that
    // interrupt() can still cut them.
}

void CurlMultiRunner::abandonConnections()
{
    shutdownSockets();
    reset();
}

void CurlMultiRunner::closeConnections(milliseconds politeFor)
{
    std::mutex mutex;
    std::condition_variable closed;
    bool done = false;
    std::thread guard([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!closed.wait_for(lock, politeFor, [&] { return done; }))
            shutdownSockets(); // the server does not answer QUIT: stop asking
    });
    reset();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    closed.notify_all();
    guard.join();
}

void CurlMultiRunner::interrupt()
{
    shutdownSockets();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi)
        curl_multi_wakeup(m_multi.get());
}

int CurlMultiRunner::onDebug(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *watch = static_cast<Watch *>(user);
    const QByteArray text = QByteArray::fromRawData(data, static_cast<qsizetype>(size));
    switch (type) {
    case CURLINFO_TEXT:
        if (text.startsWith("Connected to ")) {
            watch->moved();
            watch->connected = true;
        } else if (text.startsWith("Re-using existing connection")) {
            watch->moved();
            watch->reused = true;
            watch->connected = true;
        }
        break;
    case CURLINFO_HEADER_IN:
        watch->moved();
        watch->replied = true;
        break;
    case CURLINFO_DATA_IN:
    case CURLINFO_SSL_DATA_IN:
    case CURLINFO_HEADER_OUT:
    case CURLINFO_DATA_OUT:
    case CURLINFO_SSL_DATA_OUT:
        watch->moved();
        break;
    default:
        break;
    }
    if (watch->debug && *watch->debug)
        (*watch->debug)(type, text);
    return 0;
}

CurlMultiRunner::Result CurlMultiRunner::run(CURL *easy, const Limits &limits, const DebugSink &debug,
                                             const std::function<bool()> &cancelled)
{
    Result result;
    CURLM *multi = m_multi.get();
    if (!multi) {
        result.code = CURLE_OUT_OF_MEMORY;
        return result;
    }
    if (cancelled()) {
        result.cancelled = true;
        result.code = CURLE_ABORTED_BY_CALLBACK;
        return result;
    }
    Watch watch;
    watch.debug = &debug;
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlMultiRunner::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlMultiRunner::closeSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &CurlMultiRunner::onDebug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &watch);
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        result.code = CURLE_FAILED_INIT;
        return result;
    }
    bool wakeWatchdog = false;
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_watchdogStall = Stall::None;
        m_watched = &watch;
        m_watchedLimits = &limits;
        wakeWatchdog = m_watchdogIdle;
    }
    if (wakeWatchdog)
        m_watchChanged.notify_all();

    bool done = false;
    while (!done) {
        int running = 0;
        const CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            result.code = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result.code = message->data.result;
                done = true;
            }
        }
        if (done)
            break;
        if (cancelled()) {
            result.cancelled = true;
            break;
        }
        milliseconds untilNext{PollMs};
        result.stall = watch.check(limits, SteadyClock::now(), &untilNext);
        if (result.stall != Stall::None)
            break;
        const bool reportsWaiting = m_pending && m_pending();
        const int wait = reportsWaiting ? QuietMs
                                        : static_cast<int>(std::clamp<milliseconds::rep>(untilNext.count() + 1, 1, PollMs));
        int active = 0;
        curl_multi_poll(multi, nullptr, 0, wait, &active);
        if (reportsWaiting && active == 0)
            m_flush();
    }
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_watched = nullptr;
        m_watchedLimits = nullptr;
    }
    // Whatever error the watchdog's cut caused, the stall came first; a
    // transfer that got through just before the cut stays a success.
    const bool succeeded = done && result.code == CURLE_OK;
    if (!succeeded && !result.cancelled && result.stall == Stall::None && m_watchdogStall.load() != Stall::None)
        result.stall = m_watchdogStall.load();
    if (result.cancelled)
        result.code = CURLE_ABORTED_BY_CALLBACK;
    else if (result.stall != Stall::None)
        result.code = CURLE_OPERATION_TIMEDOUT;
    // Removing a live SMTP or POP3 transfer makes libcurl say QUIT and wait for
    // the answer from a server that has just shown it does not answer.
    if (result.cancelled || result.stall != Stall::None)
        shutdownSockets();
    curl_multi_remove_handle(multi, easy);
    // Nothing may point into this frame once the transfer is over.
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, nullptr);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, nullptr);
    return result;
}

curl_socket_t CurlMultiRunner::openSocket(void *self, curlsocktype, curl_sockaddr *address)
{
    auto *runner = static_cast<CurlMultiRunner *>(self);
    std::lock_guard<std::mutex> lock(runner->m_socketMutex);
    const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket != CURL_SOCKET_BAD)
        runner->m_sockets.insert(socket);
    return socket;
}

int CurlMultiRunner::closeSocket(void *self, curl_socket_t socket)
{
    // Closed under the lock: shutdownSockets() on another thread must never
    // reach a number the system has already handed to someone else.
    auto *runner = static_cast<CurlMultiRunner *>(self);
    std::lock_guard<std::mutex> lock(runner->m_socketMutex);
    runner->m_sockets.erase(socket);
    return ::close(socket);
}

void CurlMultiRunner::shutdownSockets()
{
    std::lock_guard<std::mutex> lock(m_socketMutex);
    for (curl_socket_t socket : m_sockets)
        ::shutdown(socket, SHUT_RDWR);
}

} // namespace corvane
