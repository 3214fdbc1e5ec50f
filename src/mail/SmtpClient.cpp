#include "mail/SmtpClient.h"

#include "mail/CurlMultiRunner.h"
#include "mail/SmtpTranscript.h"

#include <QElapsedTimer>
#include <QSysInfo>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {

long wholeSeconds(std::chrono::milliseconds ms)
{
    return std::max<long>(1, static_cast<long>((ms.count() + 999) / 1000));
}

QString durationText(std::chrono::milliseconds ms)
{
    const long seconds = wholeSeconds(ms);
    if (seconds % 60 == 0 && seconds >= 120)
        return QStringLiteral("%1 minutes").arg(seconds / 60);
    return seconds == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(seconds);
}

QByteArray defaultHeloName()
{
    QByteArray name;
    for (char c : QSysInfo::machineHostName().toLatin1()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.')
            name += c;
    }
    return name.isEmpty() ? QByteArray("localhost") : name;
}

} // namespace

struct SmtpClient::Attempt {
    SmtpTranscript *transcript = nullptr;
    const QByteArray *message = nullptr;
    qsizetype offset = 0;
    int lastPercent = -1;
    const ProgressSink *progress = nullptr;
    const std::function<bool()> *cancelled = nullptr;
    char errorText[CURL_ERROR_SIZE] = {};

    static size_t read(char *buffer, size_t size, size_t count, void *user)
    {
        auto *self = static_cast<Attempt *>(user);
        const qsizetype left = self->message->size() - self->offset;
        const qsizetype n = std::min<qsizetype>(left, static_cast<qsizetype>(size * count));
        std::memcpy(buffer, self->message->constData() + self->offset, static_cast<size_t>(n));
        self->offset += n;
        return static_cast<size_t>(n);
    }

    static int progressed(void *user, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow)
    {
        auto *self = static_cast<Attempt *>(user);
        if ((*self->cancelled)())
            return 1;
        // Dot-stuffing makes libcurl count past the total: clamp.
        const curl_off_t total = ultotal > 0 ? ultotal : static_cast<curl_off_t>(self->message->size());
        const int percent = total > 0 ? static_cast<int>(std::clamp<curl_off_t>(ulnow * 100 / total, 0, 100)) : 0;
        if (percent != self->lastPercent) {
            self->lastPercent = percent;
            (*self->progress)(percent);
        }
        return 0;
    }

    static int debug(CURL *, curl_infotype type, char *data, size_t size, void *user)
    {
        auto *self = static_cast<Attempt *>(user);
        const QByteArray text = QByteArray::fromRawData(data, static_cast<qsizetype>(size));
        switch (type) {
        case CURLINFO_TEXT: self->transcript->onText(text); break;
        case CURLINFO_HEADER_OUT: self->transcript->onCommand(text); break;
        case CURLINFO_HEADER_IN: {
            // A read may hold several reply lines.
            qsizetype start = 0;
            while (start < text.size()) {
                qsizetype end = text.indexOf('\n', start);
                end = end < 0 ? text.size() : end + 1;
                self->transcript->onReplyLine(text.mid(start, end - start));
                start = end;
            }
            break;
        }
        default: break; // message data and TLS records
        }
        return 0;
    }
};

SmtpClient::SmtpClient(CurlMultiRunner &runner, MailTimeouts timeouts, MailOptions options)
    : m_runner(runner), m_timeouts(timeouts), m_options(std::move(options))
{
    m_heloName = m_options.heloName.isEmpty() ? defaultHeloName() : m_options.heloName.toLatin1();
}

SmtpClient::~SmtpClient() = default;

void SmtpClient::freshHandle(const QByteArray &key)
{
    forget();
    m_easy.reset(curl_easy_init());
    m_key = key;
}

void SmtpClient::forget()
{
    m_connectionKept = false;
    m_easy.reset();
    m_key.clear();
    m_runner.reset();
}

QByteArray SmtpClient::keyOf(const Request &request)
{
    QByteArray key = request.endpoint.url.toUtf8() + '\n' + QByteArray::number(int(request.endpoint.tls));
    if (request.login)
        key += '\n' + request.userName.toUtf8() + '\n' + request.password.toUtf8();
    return key;
}

SmtpClient::Outcome SmtpClient::send(const Request &request, const StatusSink &status,
                                     const ProgressSink &progress, const std::function<bool()> &cancelled)
{
    const QByteArray key = keyOf(request);
    if (!m_easy || key != m_key || !m_options.reuseConnection) {
        if (m_easy && key != m_key)
            forget();
        m_connectionKept = false;
        if (!m_easy)
            m_easy.reset(curl_easy_init());
        m_key = key;
    }
    bool retryable = false;
    Outcome outcome = attempt(request, status, progress, cancelled, &retryable);
    if (retryable) {
        // The server closed the kept connection just as we used it; nothing of
        // the message went out, so a new connection cannot duplicate it.
        status(QStringLiteral("The server had closed the open connection; connecting again"));
        freshHandle(key);
        outcome = attempt(request, status, progress, cancelled, &retryable);
    }
    if (outcome.tlsFailed && request.endpoint.tls == TlsMode::Opportunistic && !cancelled()) {
        // Old plant relays offer STARTTLS with protocols no longer accepted;
        // this setting never promised encryption, and the alarm must go out.
        status(QStringLiteral("%1; sending unencrypted, as this server setting allows").arg(outcome.reason));
        freshHandle(key);
        outcome = attempt(request, status, progress, cancelled, &retryable, false);
    }
    if (!outcome.delivered)
        forget(); // a failed transaction leaves the server in a state we do not know
    else
        m_connectionKept = m_options.reuseConnection;
    return outcome;
}

void SmtpClient::configure(CURL *easy, const Request &request, Attempt &state, curl_slist *recipients,
                           bool allowTls)
{
    const QByteArray url = request.endpoint.url.toUtf8() + QUrl::toPercentEncoding(QString::fromLatin1(m_heloName));
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, ""); // never a proxy from the environment (ALL_PROXY)
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Attempt::read);
    curl_easy_setopt(easy, CURLOPT_READDATA, &state);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.message.size()));

    const QByteArray from = '<' + request.sender.toUtf8() + '>';
    curl_easy_setopt(easy, CURLOPT_MAIL_FROM, from.constData()); // libcurl copies strings
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);

    const TlsMode tls = request.endpoint.tls;
    const long useSsl = tls != TlsMode::Opportunistic ? long(CURLUSESSL_ALL)
        : allowTls                                     ? long(CURLUSESSL_TRY)
                                                       : long(CURLUSESSL_NONE);
    curl_easy_setopt(easy, CURLOPT_USE_SSL, useSsl);
    const bool verify = request.endpoint.verifiesCertificate();
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    const QByteArray caFile = m_options.caFile.toLocal8Bit();
    if (!caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());

    if (request.login && !request.userName.isEmpty()) {
        const QByteArray user = request.userName.toUtf8();
        const QByteArray password = request.password.toUtf8();
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
    } else {
        curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
    }

    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_timeouts.connect.count()));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(m_timeouts.serverReply));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, wholeSeconds(m_timeouts.lowSpeedWindow));
    const auto timeLeft = request.timeLeft.count() > 0 ? request.timeLeft : m_timeouts.wholeAttempt;
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<qint64>(1, timeLeft.count())));
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, m_options.reuseConnection ? 0L : 1L);

    curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Attempt::debug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &state);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Attempt::progressed);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &state);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, state.errorText);
}

SmtpClient::Outcome SmtpClient::attempt(const Request &request, const StatusSink &status,
                                        const ProgressSink &progress, const std::function<bool()> &cancelled,
                                        bool *retryable, bool allowTls)
{
    *retryable = false;
    Outcome outcome;
    if (!m_easy) {
        outcome.reason = QStringLiteral("Out of memory");
        return outcome;
    }

    // Say it before the first byte goes out, unless an open connection is
    // expected to carry the message; libcurl tells which way it went (and a
    // new connection, if the kept one died, still gets its line).
    const bool announceNow = !m_connectionKept;
    if (announceNow)
        status(QStringLiteral("Connecting to %1").arg(request.endpoint.display));
    const bool loginWanted = request.login && !request.userName.isEmpty();
    SmtpTranscript transcript(request.endpoint, request.userName, loginWanted, announceNow, status);

    CurlSlist recipients;
    for (const QString &address : request.recipients) {
        const QByteArray rcpt = '<' + address.toUtf8() + '>';
        curl_slist *appended = curl_slist_append(recipients.get(), rcpt.constData());
        if (!appended) {
            outcome.reason = QStringLiteral("Out of memory");
            return outcome;
        }
        (void)recipients.release();
        recipients.reset(appended);
    }

    Attempt state;
    state.transcript = &transcript;
    state.message = &request.message;
    state.progress = &progress;
    state.cancelled = &cancelled;
    CURL *easy = m_easy.get();
    configure(easy, request, state, recipients.get(), allowTls);

    QElapsedTimer timer;
    timer.start();
    const CurlMultiRunner::Result result = m_runner.run(easy, cancelled);
    const std::chrono::milliseconds elapsed(timer.elapsed());

    // Nothing of the last transfer may point into this frame once it is over.
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);

    outcome.accepted = transcript.acceptedRecipients();
    if (result.cancelled || (cancelled() && result.code == CURLE_ABORTED_BY_CALLBACK)) {
        outcome.reason = QStringLiteral("Sending cancelled: the program is closing");
        return outcome;
    }
    if (result.code == CURLE_OK) {
        outcome.delivered = true;
        return outcome;
    }
    const bool connectionLost = result.code == CURLE_SEND_ERROR || result.code == CURLE_RECV_ERROR
        || result.code == CURLE_GOT_NOTHING;
    *retryable = connectionLost && transcript.reusedConnection() && !transcript.dataSent() && transcript.rejection().code == 0
        && transcript.acceptedRecipients() == 0 && transcript.refusedRecipients().isEmpty();
    outcome.reason = describeFailure(result.code, transcript, state.errorText, elapsed, request);
    outcome.tlsFailed = result.code == CURLE_SSL_CONNECT_ERROR && transcript.greeted()
        && transcript.rejection().code == 0 && !transcript.encrypted();
    return outcome;
}

QString SmtpClient::describeFailure(CURLcode code, const SmtpTranscript &transcript, const char *errorText,
                                    std::chrono::milliseconds elapsed, const Request &request) const
{
    using Step = SmtpTranscript::Step;
    const QString where = request.endpoint.display;
    const SmtpTranscript::Reply rejection = transcript.rejection();
    if (rejection.code != 0) {
        const QString reply = QStringLiteral("%1 %2").arg(rejection.code).arg(rejection.text).trimmed();
        switch (transcript.rejectedStep()) {
        case Step::Greeting: return QStringLiteral("The server refused the connection (%1)").arg(reply);
        case Step::StartTls: return QStringLiteral("The server refused to start TLS (%1)").arg(reply);
        case Step::Auth: return QStringLiteral("Login denied by the server (%1)").arg(reply);
        case Step::Mail:
            if (rejection.code == 530)
                return QStringLiteral("The server takes mail only after a login (%1)").arg(reply);
            return QStringLiteral("The server refused the sender address %1 (%2)").arg(request.sender, reply);
        case Step::Data:
        case Step::Message: return QStringLiteral("The server refused the message (%1)").arg(reply);
        default: return QStringLiteral("The server refused the request (%1)").arg(reply);
        }
    }
    if (!transcript.refusedRecipients().isEmpty() && transcript.acceptedRecipients() == 0)
        return QStringLiteral("The server refused every recipient");

    const QByteArray detail(errorText);
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("The server name %1 cannot be found").arg(request.endpoint.host);
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("Cannot connect to %1: nothing answers there").arg(where);
    case CURLE_LOGIN_DENIED:
        return QStringLiteral("Login denied by the server");
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral("The server at %1 does not offer encryption (STARTTLS), which this server setting requires").arg(where);
    case CURLE_PEER_FAILED_VERIFICATION:
        return QStringLiteral("The certificate of %1 is not trusted: %2").arg(where, QString::fromUtf8(detail));
    case CURLE_SSL_CONNECT_ERROR:
        return QStringLiteral("The TLS handshake with %1 failed: %2").arg(where, QString::fromUtf8(detail));
    case CURLE_OPERATION_TIMEDOUT: {
        if (!transcript.tcpConnected())
            return QStringLiteral("No connection to %1 within %2").arg(where, durationText(m_timeouts.connect));
        const auto limit = request.timeLeft.count() > 0 ? request.timeLeft : m_timeouts.wholeAttempt;
        if (elapsed + std::chrono::milliseconds(500) >= limit)
            return QStringLiteral("The send did not finish within %1").arg(durationText(m_timeouts.wholeAttempt));
        if (detail.contains("too slow"))
            return QStringLiteral("The transfer stalled: under 1 byte per second for %1")
                .arg(durationText(m_timeouts.lowSpeedWindow));
        const auto waited = transcript.greeted() ? std::min(m_timeouts.serverReply, m_timeouts.lowSpeedWindow)
                                                 : std::min({m_timeouts.serverReply, m_timeouts.connect,
                                                             m_timeouts.lowSpeedWindow});
        return QStringLiteral("No answer from the server within %1").arg(durationText(waited));
    }
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
        if (transcript.currentStep() == Step::Message)
            return QStringLiteral("The server closed the connection before confirming the message");
        if (!transcript.greeted())
            return QStringLiteral("The server at %1 closed the connection without a greeting").arg(where);
        return QStringLiteral("The server closed the connection unexpectedly");
    default:
        break;
    }
    QString text = QString::fromUtf8(detail).trimmed();
    if (text.isEmpty())
        text = QString::fromUtf8(curl_easy_strerror(code));
    return QStringLiteral("Sending failed: %1").arg(text);
}

} // namespace corvane
