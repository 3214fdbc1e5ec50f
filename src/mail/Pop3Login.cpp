#include "mail/Pop3Login.h"

#include "mail/CurlHandles.h"
#include "mail/CurlMultiRunner.h"
#include "mail/MailAddresses.h"
#include "mail/ServerEndpoint.h"
#include "mail/SmtpTranscript.h"

#include <algorithm>

namespace corvane {

namespace {

struct PopDialogue {
    bool encrypted = false;
    bool userSent = false;
    QByteArray lastError; // the last "-ERR" reply, for the reason

    static int debug(CURL *, curl_infotype type, char *data, size_t size, void *user)
    {
        auto *self = static_cast<PopDialogue *>(user);
        const QByteArray text = QByteArray::fromRawData(data, static_cast<qsizetype>(size));
        if (type == CURLINFO_TEXT && text.startsWith("SSL connection using "))
            self->encrypted = true;
        else if (type == CURLINFO_HEADER_OUT && (text.startsWith("USER") || text.startsWith("AUTH")
                                                 || text.startsWith("APOP")))
            self->userSent = true;
        else if (type == CURLINFO_HEADER_IN && text.startsWith("-ERR"))
            self->lastError = text.mid(4);
        return 0;
    }
};

long seconds(std::chrono::milliseconds ms)
{
    return std::max<long>(1, static_cast<long>((ms.count() + 999) / 1000));
}

} // namespace

Pop3Login::Pop3Login(CurlMultiRunner &runner, MailTimeouts timeouts, MailOptions options)
    : m_runner(runner), m_timeouts(timeouts), m_options(std::move(options))
{
}

Pop3Login::Result Pop3Login::run(const QString &server, const QString &userName, const QString &password,
                                 const std::function<void(const QString &)> &status,
                                 const std::function<bool()> &cancelled)
{
    Result result;
    const ServerEndpoint endpoint = ServerEndpoint::parse(server, MailProtocol::Pop3);
    if (!endpoint.valid) {
        result.reason = QStringLiteral("POP3 server setting \"%1\": %2")
                            .arg(mail::settingForDisplay(server), endpoint.problem);
        return result;
    }
    if (userName.isEmpty()) {
        result.reason = QStringLiteral("no user name is set for the POP3 login");
        return result;
    }
    status(QStringLiteral("POP3 login at %1").arg(endpoint.display));

    CurlEasyHandle easy(curl_easy_init());
    if (!easy) {
        result.reason = QStringLiteral("out of memory");
        return result;
    }
    PopDialogue dialogue;
    char errorText[CURL_ERROR_SIZE] = {};
    CURL *h = easy.get();
    const QByteArray url = endpoint.url.toUtf8();
    const QByteArray user = userName.toUtf8();
    const QByteArray pass = password.toUtf8();
    const QByteArray caFile = m_options.caFile.toLocal8Bit();
    curl_easy_setopt(h, CURLOPT_URL, url.constData());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, ""); // never a proxy from the environment (ALL_PROXY)
    curl_easy_setopt(h, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(h, CURLOPT_PASSWORD, pass.constData());
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_USE_SSL,
                     endpoint.tls == TlsMode::Opportunistic ? long(CURLUSESSL_TRY) : long(CURLUSESSL_ALL));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, endpoint.verifiesCertificate() ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, endpoint.verifiesCertificate() ? 2L : 0L);
    if (!caFile.isEmpty())
        curl_easy_setopt(h, CURLOPT_CAINFO, caFile.constData());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_timeouts.connect.count()));
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds(m_timeouts.serverReply));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, seconds(m_timeouts.lowSpeedWindow));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(m_timeouts.wholeAttempt.count()));
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &PopDialogue::debug);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &dialogue);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);

    const CurlMultiRunner::Result run = m_runner.run(h, cancelled);
    if (run.cancelled) {
        result.reason = QStringLiteral("cancelled");
        return result;
    }
    if (dialogue.userSent && !dialogue.encrypted)
        status(QStringLiteral("Warning: the POP3 password went to the server unencrypted"));
    switch (run.code) {
    case CURLE_OK:
        result.loggedIn = true;
        break;
    case CURLE_LOGIN_DENIED:
        result.reason = QStringLiteral("login denied by the server (%1)")
                            .arg(SmtpTranscript::cleanReplyText(dialogue.lastError.trimmed()));
        break;
    case CURLE_COULDNT_CONNECT:
        result.reason = QStringLiteral("cannot connect to %1").arg(endpoint.display);
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        result.reason = QStringLiteral("the server name %1 cannot be found").arg(endpoint.host);
        break;
    case CURLE_OPERATION_TIMEDOUT:
        result.reason = QStringLiteral("no answer from %1 in time").arg(endpoint.display);
        break;
    default: {
        QString detail = QString::fromUtf8(errorText).trimmed();
        if (detail.isEmpty())
            detail = QString::fromUtf8(curl_easy_strerror(run.code));
        result.reason = SmtpTranscript::cleanReplyText(detail.toUtf8());
        break;
    }
    }
    return result;
}

} // namespace corvane
