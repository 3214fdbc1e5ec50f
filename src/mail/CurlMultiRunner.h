#pragma once

#include "mail/CurlHandles.h"

#include <QByteArray>

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace corvane {

// Runs one easy handle at a time to its end on the calling thread, through a
// multi handle so another thread can interrupt the wait at once (interrupt()).
// The multi handle keeps finished connections open for the next transfer until
// they are closed or abandoned.
//
// The runner keeps the clock of every transfer itself instead of leaving it to
// libcurl, whose own limits overlap (the connect limit covers the whole SMTP
// greeting, the reply limit restarts for QUIT) and so end a stall late. It
// watches the traffic libcurl reports in both directions: a transfer ends when
// the connection is not made in time, when nothing moves for the reply limit,
// or when the whole limit is used up. libcurl's own limits stay as a backstop
// only. Some waits happen inside one libcurl call (SMTP waits for the reply to
// the final "." that way); a watchdog thread keeps the clock and hands on
// reports meanwhile, and cuts the connection when a limit is reached.
class CurlMultiRunner {
public:
    CurlMultiRunner();
    ~CurlMultiRunner();
    CurlMultiRunner(const CurlMultiRunner &) = delete;
    CurlMultiRunner &operator=(const CurlMultiRunner &) = delete;

    struct Limits {
        std::chrono::milliseconds connect{30'000};   // name lookup and TCP connect
        std::chrono::milliseconds reply{60'000};     // nothing sent or received
        std::chrono::milliseconds whole{300'000};    // the transfer as a whole
        // An open connection taken up again that does not answer its first
        // command within this is taken for dead (0: no such check).
        std::chrono::milliseconds reusedFirstReply{0};
    };

    enum class Stall { None, Connect, Reply, Whole, ReusedSilent };

    struct Result {
        CURLcode code = CURLE_OK;
        bool cancelled = false;
        Stall stall = Stall::None;
    };

    // What libcurl reports of the dialogue (commands, replies, texts).
    using DebugSink = std::function<void(curl_infotype, const QByteArray &)>;

    // `cancelled` is asked after every wake-up; true ends the transfer at once.
    // A transfer that is cancelled or stalls leaves its connection cut.
    Result run(CURL *easy, const Limits &limits, const DebugSink &debug, const std::function<bool()> &cancelled);

    // Closes every kept connection, saying QUIT where the server still
    // answers, but waits no longer than `politeFor` for it.
    void closeConnections(std::chrono::milliseconds politeFor);

    // Cuts every connection without a word (no QUIT) and forgets them, so that
    // nothing waits for a server that stopped answering.
    void abandonConnections();

    // Thread-safe: makes a running run() look at `cancelled` now and cuts the
    // connections, so that even a call blocked inside libcurl returns.
    void interrupt();

    // Called on the running thread once the wait for the network has lasted a
    // few milliseconds: `pending` tells whether there is anything to hand on,
    // `flush` hands it on. Lets the caller batch reports during a fast exchange.
    void setQuietHook(std::function<bool()> pending, std::function<void()> flush)
    {
        m_pending = std::move(pending);
        m_flush = std::move(flush);
    }

private:
    struct Watch;
    static curl_socket_t openSocket(void *self, curlsocktype purpose, curl_sockaddr *address);
    static int closeSocket(void *self, curl_socket_t socket);
    static int onDebug(CURL *easy, curl_infotype type, char *data, size_t size, void *user);
    void shutdownSockets();
    void reset();
    void watchdog();

    std::function<bool()> m_pending;
    std::function<void()> m_flush;
    std::mutex m_mutex; // guards m_multi against interrupt() from another thread
    // Every socket libcurl holds open for us, so a cancel can cut them at once.
    std::mutex m_socketMutex;
    std::set<curl_socket_t> m_sockets;
    // The watchdog: looks at the running transfer's clock while libcurl may
    // be blocked in a call.
    std::mutex m_watchMutex;
    std::condition_variable m_watchChanged;
    Watch *m_watched = nullptr;
    const Limits *m_watchedLimits = nullptr;
    bool m_quit = false;
    bool m_watchdogIdle = false; // asleep until a transfer starts
    std::atomic<Stall> m_watchdogStall{Stall::None};
    std::thread m_watchdog;

    CurlMultiHandle m_multi; // last: its connections close through closeSocket()
};

} // namespace corvane
