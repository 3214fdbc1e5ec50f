#include "mail/SmtpClient.h"

#include "mail/CurlSetup.h"
#include "mail/SmtpTranscript.h"

#include <QHostAddress>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace corvane {

struct SmtpClient::Attempt {
    SmtpTranscript *transcript = nullptr;
    const QByteArray *message = nullptr;
    qsizetype offset = 0;
    int lastPercent = -1;
    const ProgressSink *progress = nullptr;
    const std::function<bool()> *cancelled = nullptr;
    bool plainLoginStopped = false; // cut before a password could go out in the clear
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

    void onDebug(curl_infotype type, const QByteArray &text)
    {
        switch (type) {
        case CURLINFO_TEXT: transcript->onText(text); break;
        case CURLINFO_HEADER_OUT: transcript->onCommand(text); break;
        case CURLINFO_HEADER_IN: {
            // A read may hold several reply lines.
            qsizetype start = 0;
            while (start < text.size()) {
                qsizetype end = text.indexOf('\n', start);
                end = end < 0 ? text.size() : end + 1;
                transcript->onReplyLine(text.mid(start, end - start));
                start = end;
            }
            break;
        }
        default: break; // message data and TLS records
        }
    }
};

SmtpClient::SmtpClient(CurlMultiRunner &runner, MailTimeouts timeouts, MailOptions options)
    : m_runner(runner), m_timeouts(timeouts), m_options(std::move(options))
{
}

SmtpClient::~SmtpClient() = default;

void SmtpClient::abandon()
{
    m_connectionKept = false;
    m_easy.reset();
    m_key.clear();
    m_runner.abandonConnections();
}

void SmtpClient::closeKept()
{
    m_connectionKept = false;
    m_easy.reset();
    m_key.clear();
    m_runner.closeConnections(std::min(m_timeouts.politeClose, m_timeouts.serverReply));
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
    if (m_easy && key != m_key)
        closeKept();
    if (!m_easy) {
        m_easy.reset(curl_easy_init());
        m_key = key;
        m_connectionKept = false;
    }
    Retry retry = Retry::No;
    Outcome outcome = attempt(request, status, progress, cancelled, &retry);
    if (retry != Retry::No && !cancelled()) {
        // The kept connection died while idle; nothing of the message went out
        // (the server had not answered a single command of it), so a new
        // connection cannot duplicate it.
        status(retry == Retry::Silent
                   ? QStringLiteral("The open connection to %1 did not answer; connecting again").arg(request.endpoint.display)
                   : QStringLiteral("The server had closed the open connection; connecting again"));
        abandon();
        m_easy.reset(curl_easy_init());
        m_key = key;
        outcome = attempt(request, status, progress, cancelled, &retry);
    }
    if (!outcome.delivered)
        abandon(); // the server is in a state we do not know, or does not answer
    else if (!m_options.reuseConnection)
        closeKept();
    else
        m_connectionKept = true;
    return outcome;
}

void SmtpClient::configure(CURL *easy, const Request &request, Attempt &state, curl_slist *recipients)
{
    const QByteArray url = request.endpoint.url.toUtf8() + QUrl::toPercentEncoding(m_options.heloName);
    const long useSsl = request.endpoint.tls == TlsMode::Opportunistic ? long(CURLUSESSL_TRY) : long(CURLUSESSL_ALL);
    mail::applyCommonOptions(easy, url, request.endpoint, useSsl, m_options, m_timeouts, request.timeLeft,
                             state.errorText);
    curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Attempt::read);
    curl_easy_setopt(easy, CURLOPT_READDATA, &state);
    curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.message.size()));

    const QByteArray from = '<' + request.sender.toUtf8() + '>';
    curl_easy_setopt(easy, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);

    if (request.login && !request.userName.isEmpty()) {
        const QByteArray user = request.userName.toUtf8();
        const QByteArray password = request.password.toUtf8();
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.constData());
    } else {
        curl_easy_setopt(easy, CURLOPT_USERNAME, nullptr);
        curl_easy_setopt(easy, CURLOPT_PASSWORD, nullptr);
    }

    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Attempt::progressed);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &state);
}

SmtpClient::Outcome SmtpClient::attempt(const Request &request, const StatusSink &status,
                                        const ProgressSink &progress, const std::function<bool()> &cancelled,
                                        Retry *retry)
{
    *retry = Retry::No;
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
    SmtpTranscript transcript(request.endpoint, request.userName, loginWanted, announceNow, status,
                              CredentialMask(request.userName, request.password));

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
    configure(easy, request, state, recipients.get());

    // A server that offers no STARTTLS gets the password in the clear only on
    // this machine or a private network; elsewhere anyone on the way could
    // read it. The connection is cut before libcurl can send AUTH.
    if (loginWanted && request.endpoint.tls == TlsMode::Opportunistic) {
        transcript.setPlainGreetingHook([this, easy, &state](bool startTlsOffered) {
            if (startTlsOffered)
                return; // libcurl goes on with STARTTLS, and fails if it fails
            char *ip = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip);
            if (ip && mail::isLocalOrPrivate(QHostAddress(QString::fromLatin1(ip))))
                return;
            state.plainLoginStopped = true;
            m_runner.interrupt();
        });
    }

    const CurlMultiRunner::Result result = m_runner.run(
        easy, mail::limitsFor(m_timeouts, request.timeLeft),
        [&state](curl_infotype type, const QByteArray &text) { state.onDebug(type, text); }, cancelled);

    // Nothing of the last transfer may point into this frame once it is over.
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, nullptr);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);

    outcome.accepted = transcript.acceptedRecipients();
    if (result.code == CURLE_OK) {
        outcome.delivered = true;
        return outcome;
    }
    // A cancel cuts the connection from another thread: whatever error that
    // caused, the cause was the cancel.
    if (result.cancelled || cancelled()) {
        outcome.reason = QStringLiteral("Sending cancelled: the program is closing");
        return outcome;
    }
    const bool nothingAnswered = transcript.reusedConnection() && !transcript.dataSent()
        && transcript.rejection().code == 0 && transcript.acceptedRecipients() == 0
        && transcript.refusedRecipients().isEmpty();
    if (result.stall == CurlMultiRunner::Stall::ReusedSilent && nothingAnswered)
        *retry = Retry::Silent;
    else if ((result.code == CURLE_SEND_ERROR || result.code == CURLE_RECV_ERROR || result.code == CURLE_GOT_NOTHING)
             && nothingAnswered && !state.plainLoginStopped)
        *retry = Retry::ServerClosed;
    outcome.reason = describeFailure(result, transcript, state, request);
    return outcome;
}

QString SmtpClient::describeFailure(const CurlMultiRunner::Result &result, const SmtpTranscript &transcript,
                                    const Attempt &state, const Request &request) const
{
    using Step = SmtpTranscript::Step;
    using Stall = CurlMultiRunner::Stall;
    const QString where = request.endpoint.display;
    if (state.plainLoginStopped)
        return QStringLiteral("Nothing was sent: the server at %1 offers no encryption (STARTTLS) and is not on this "
                              "machine or a private network, so the password would cross the network in the clear. "
                              "Use port 587 or 465, or write smtps:// in front of the server")
            .arg(where);
    switch (result.stall) {
    case Stall::Connect:
        return QStringLiteral("No connection to %1 within %2").arg(where, mail::durationText(m_timeouts.connect));
    case Stall::Reply:
    case Stall::ReusedSilent:
        return QStringLiteral("No answer from the server within %1").arg(mail::durationText(m_timeouts.serverReply));
    case Stall::Whole:
        return QStringLiteral("The send did not finish within %1").arg(mail::durationText(m_timeouts.wholeAttempt));
    case Stall::None:
        break;
    }

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

    // libcurl's texts may quote the server.
    const CredentialMask mask(request.userName, request.password);
    const QString detail = SmtpTranscript::cleanReplyText(QByteArray(state.errorText), mask);
    switch (result.code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QStringLiteral("The server name %1 cannot be found").arg(request.endpoint.host);
    case CURLE_COULDNT_CONNECT:
        return QStringLiteral("Cannot connect to %1: nothing answers there").arg(where);
    case CURLE_LOGIN_DENIED:
        return QStringLiteral("Login denied by the server");
    case CURLE_USE_SSL_FAILED:
        return QStringLiteral("The server at %1 does not offer encryption (STARTTLS), which this server setting requires").arg(where);
    case CURLE_PEER_FAILED_VERIFICATION:
        return QStringLiteral("The certificate of %1 is not trusted: %2").arg(where, detail);
    case CURLE_SSL_CONNECT_ERROR:
        if (request.endpoint.tls == TlsMode::Opportunistic && transcript.startTlsOffered())
            return QStringLiteral("The TLS handshake with %1 failed: %2; a server that offers encryption "
                                  "gets nothing without it")
                .arg(where, detail);
        return QStringLiteral("The TLS handshake with %1 failed: %2").arg(where, detail);
    case CURLE_OPERATION_TIMEDOUT: // libcurl's backstop
        return QStringLiteral("The send did not finish within %1").arg(mail::durationText(m_timeouts.wholeAttempt));
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
    QString text = detail;
    if (text.isEmpty())
        text = QString::fromUtf8(curl_easy_strerror(result.code));
    return QStringLiteral("Sending failed: %1").arg(text);
}

} // namespace corvane
