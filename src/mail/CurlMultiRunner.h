#pragma once

#include "mail/CurlHandles.h"

#include <functional>
#include <mutex>
#include <set>

namespace corvane {

// Runs one easy handle at a time to its end on the calling thread, through a
// multi handle so another thread can interrupt the wait at once (wake()). The
// multi handle keeps finished connections open for the next transfer until
// reset() drops them.
class CurlMultiRunner {
public:
    CurlMultiRunner();
    ~CurlMultiRunner();
    CurlMultiRunner(const CurlMultiRunner &) = delete;
    CurlMultiRunner &operator=(const CurlMultiRunner &) = delete;

    struct Result {
        CURLcode code = CURLE_OK;
        bool cancelled = false;
    };

    // `cancelled` is asked after every wake-up; true ends the transfer at once.
    Result run(CURL *easy, const std::function<bool()> &cancelled);

    // Closes every kept connection (QUIT where the connection is still usable).
    void reset();

    // Thread-safe: makes a running run() look at `cancelled` now.
    void wake();

    // Called on the running thread once the wait for the network has lasted a
    // few milliseconds: `pending` tells whether there is anything to hand on,
    // `flush` hands it on. Lets the caller batch reports during a fast exchange.
    void setQuietHook(std::function<bool()> pending, std::function<void()> flush)
    {
        m_pending = std::move(pending);
        m_flush = std::move(flush);
    }

    // Cuts every connection without a word (no QUIT), so that closing down
    // never waits for a server that stopped answering.
    void abandonConnections() { shutdownSockets(); }

private:
    static curl_socket_t openSocket(void *self, curlsocktype purpose, curl_sockaddr *address);
    static int closeSocket(void *self, curl_socket_t socket);
    void shutdownSockets();

    std::function<bool()> m_pending;
    std::function<void()> m_flush;
    std::mutex m_mutex; // guards m_multi against wake() from another thread
    // Every socket libcurl holds open for us, so a cancel can cut them at once.
    std::mutex m_socketMutex;
    std::set<curl_socket_t> m_sockets;
    CurlMultiHandle m_multi; // last: its connections close through closeSocket()
};

} // namespace corvane
