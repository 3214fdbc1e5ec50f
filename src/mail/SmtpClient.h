#pragma once

#include "mail/CredentialMask.h"
#include "mail/CurlMultiRunner.h"
#include "mail/MailOptions.h"
#include "mail/ServerEndpoint.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace corvane {

class SmtpTranscript;

// One SMTP transaction per send() over libcurl. Between sends to the same server
// with the same account the easy handle (and with it the open connection) is
// kept; any change of server, TLS or account starts afresh, and any failure
// abandons the connection without another word to the server.
class SmtpClient {
public:
    struct Request {
        ServerEndpoint endpoint;
        bool login = false;
        QString userName;
        QString password;
        QString sender;
        QStringList recipients;
        QByteArray message;
        // What is left of the attempt's time (a POP3 login may have used some).
        std::chrono::milliseconds timeLeft{0};
    };

    struct Outcome {
        bool delivered = false; // the server took the message for at least one recipient
        int accepted = 0;
        QString reason;         // why not, in plain words
    };

    using StatusSink = std::function<void(const QString &)>;
    using ProgressSink = std::function<void(int)>;

    SmtpClient(CurlMultiRunner &runner, MailTimeouts timeouts, MailOptions options);
    ~SmtpClient();
    SmtpClient(const SmtpClient &) = delete;
    SmtpClient &operator=(const SmtpClient &) = delete;

    Outcome send(const Request &request, const StatusSink &status, const ProgressSink &progress,
                 const std::function<bool()> &cancelled);

    // Drops the kept handle and cuts its connection without QUIT.
    void abandon();

private:
    struct Attempt;
    enum class Retry { No, ServerClosed, Silent };
    Outcome attempt(const Request &request, const StatusSink &status, const ProgressSink &progress,
                    const std::function<bool()> &cancelled, Retry *retry);
    void configure(CURL *easy, const Request &request, Attempt &state, curl_slist *recipients);
    void closeKept();
    QString describeFailure(const CurlMultiRunner::Result &result, const SmtpTranscript &transcript,
                            const Attempt &state, const Request &request) const;
    static QByteArray keyOf(const Request &request);

    CurlMultiRunner &m_runner;
    MailTimeouts m_timeouts;
    MailOptions m_options;
    CurlEasyHandle m_easy;
    QByteArray m_key;       // server and account the kept handle belongs to
    bool m_connectionKept = false; // the last send left a usable connection open
};

} // namespace corvane
