#include "mail/CurlMultiRunner.h"

#include <sys/socket.h>
#include <unistd.h>

namespace corvane {

namespace {
// Longest wait between two looks at the cancel flag even if a wake-up got lost.
constexpr int PollMs = 200;
// A wait this long means the server is thinking: time to hand on reports.
constexpr int QuietMs = 5;
} // namespace

CurlMultiRunner::CurlMultiRunner() : m_multi(curl_multi_init())
{
}

CurlMultiRunner::~CurlMultiRunner() = default;

void CurlMultiRunner::reset()
{
    CurlMultiHandle old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_multi);
        m_multi.reset(curl_multi_init());
    }
    // `old` closes its connections here, outside the lock.
}

void CurlMultiRunner::wake()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_multi)
        curl_multi_wakeup(m_multi.get());
}

CurlMultiRunner::Result CurlMultiRunner::run(CURL *easy, const std::function<bool()> &cancelled)
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
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlMultiRunner::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlMultiRunner::closeSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        result.code = CURLE_FAILED_INIT;
        return result;
    }

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
            result.code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        const bool reportsWaiting = m_pending && m_pending();
        int active = 0;
        curl_multi_poll(multi, nullptr, 0, reportsWaiting ? QuietMs : PollMs, &active);
        if (reportsWaiting && active == 0)
            m_flush();
        if (cancelled()) {
            result.cancelled = true;
            result.code = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
    }
    // Removing a live SMTP or POP3 transfer makes libcurl say QUIT and wait for
    // the answer; a hung server would hold the cancel up for a second.
    if (result.cancelled)
        shutdownSockets();
    curl_multi_remove_handle(multi, easy);
    return result;
}

curl_socket_t CurlMultiRunner::openSocket(void *self, curlsocktype, curl_sockaddr *address)
{
    const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket != CURL_SOCKET_BAD) {
        auto *runner = static_cast<CurlMultiRunner *>(self);
        std::lock_guard<std::mutex> lock(runner->m_socketMutex);
        runner->m_sockets.insert(socket);
    }
    return socket;
}

int CurlMultiRunner::closeSocket(void *self, curl_socket_t socket)
{
    auto *runner = static_cast<CurlMultiRunner *>(self);
    {
        std::lock_guard<std::mutex> lock(runner->m_socketMutex);
        runner->m_sockets.erase(socket);
    }
    return ::close(socket);
}

void CurlMultiRunner::shutdownSockets()
{
    std::lock_guard<std::mutex> lock(m_socketMutex);
    for (curl_socket_t socket : m_sockets)
        ::shutdown(socket, SHUT_RDWR);
}

} // namespace corvane
