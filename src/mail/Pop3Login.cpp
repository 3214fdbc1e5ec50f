#include "mail/Pop3Login.h"

#include "mail/CurlHandles.h"
#include "mail/CurlMultiRunner.h"
#include "mail/CurlSetup.h"
#include "mail/MailAddresses.h"
#include "mail/ServerEndpoint.h"
#include "mail/SmtpTranscript.h"

#include <QHostAddress>

#include <algorithm>
#include <functional>

namespace corvane {

namespace {

struct PopDialogue {
    bool encrypted = false;
    bool userSent = false;
    bool inCapa = false;
    bool stlsOffered = false;
    bool plainLoginStopped = false;
    QByteArray lastError; // the last "-ERR" reply, for the reason
    // Called once the server has said, unencrypted, whether it offers STLS:
    // the last moment before libcurl could send the password.
    std::function<void(bool)> onPlainCapabilities;

    void onDebug(curl_infotype type, const QByteArray &text)
    {
        if (type == CURLINFO_TEXT && text.startsWith("SSL connection using ")) {
            encrypted = true;
        } else if (type == CURLINFO_HEADER_OUT) {
            if (text.startsWith("USER") || text.startsWith("AUTH") || text.startsWith("APOP"))
                userSent = true;
            inCapa = text.startsWith("CAPA");
        } else if (type == CURLINFO_HEADER_IN) {
            // A read may hold several lines.
            for (const QByteArray &line : text.split('\n')) {
                if (!line.isEmpty())
                    onReplyLine(line.trimmed());
            }
        }
    }

    void onReplyLine(const QByteArray &line)
    {
        if (line.startsWith("-ERR"))
            lastError = line.mid(4);
        if (!inCapa)
            return;
        if (line.toUpper() == "STLS")
            stlsOffered = true;
        // The list ends with "." (or an -ERR from a server without CAPA).
        if (line == "." || line.startsWith("-ERR")) {
            inCapa = false;
            if (!encrypted && onPlainCapabilities)
                onPlainCapabilities(stlsOffered);
        }
    }
};

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
    const QByteArray user = userName.toUtf8();
    const QByteArray pass = password.toUtf8();
    const long useSsl = endpoint.tls == TlsMode::Opportunistic ? long(CURLUSESSL_TRY) : long(CURLUSESSL_ALL);
    mail::applyCommonOptions(h, endpoint.url.toUtf8(), endpoint, useSsl, m_options, m_timeouts,
                             m_timeouts.wholeAttempt, errorText);
    curl_easy_setopt(h, CURLOPT_USERNAME, user.constData());
    curl_easy_setopt(h, CURLOPT_PASSWORD, pass.constData());
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);

    // As for SMTP: without STLS the password goes in the clear only to a
    // server on this machine or a private network.
    if (endpoint.tls == TlsMode::Opportunistic) {
        dialogue.onPlainCapabilities = [this, h, &dialogue](bool stlsOffered) {
            if (stlsOffered)
                return;
            char *ip = nullptr;
            curl_easy_getinfo(h, CURLINFO_PRIMARY_IP, &ip);
            if (ip && mail::isLocalOrPrivate(QHostAddress(QString::fromLatin1(ip))))
                return;
            dialogue.plainLoginStopped = true;
            m_runner.interrupt();
        };
    }
    const CurlMultiRunner::Result run = m_runner.run(
        h, mail::limitsFor(m_timeouts, m_timeouts.wholeAttempt),
        [&dialogue](curl_infotype type, const QByteArray &text) { dialogue.onDebug(type, text); }, cancelled);
    // One login per send: the connection is closed at once, QUIT said but not
    // waited for long.
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
    easy.reset();
    if (run.code == CURLE_OK)
        m_runner.closeConnections(std::min(m_timeouts.politeClose, m_timeouts.serverReply));
    else
        m_runner.abandonConnections();
    if (run.cancelled || cancelled()) {
        result.reason = QStringLiteral("cancelled");
        return result;
    }
    if (dialogue.plainLoginStopped) {
        result.reason = QStringLiteral("%1 offers no encryption (STLS) and is not on this machine or a private "
                                       "network, so the password was not sent; use port 995 or pop3s://")
                            .arg(endpoint.display);
        return result;
    }
    if (dialogue.userSent && !dialogue.encrypted)
        status(QStringLiteral("Warning: the POP3 password went to the server unencrypted"));
    const CredentialMask mask(userName, password);
    switch (run.code) {
    case CURLE_OK:
        result.loggedIn = true;
        break;
    case CURLE_LOGIN_DENIED:
        result.reason = QStringLiteral("login denied by the server (%1)")
                            .arg(SmtpTranscript::cleanReplyText(dialogue.lastError.trimmed(), mask));
        break;
    case CURLE_COULDNT_CONNECT:
        result.reason = QStringLiteral("cannot connect to %1").arg(endpoint.display);
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        result.reason = QStringLiteral("the server name %1 cannot be found").arg(endpoint.host);
        break;
    case CURLE_OPERATION_TIMEDOUT:
        if (run.stall == CurlMultiRunner::Stall::Connect)
            result.reason = QStringLiteral("no connection to %1 within %2")
                                .arg(endpoint.display, mail::durationText(m_timeouts.connect));
        else
            result.reason = QStringLiteral("no answer from %1 within %2")
                                .arg(endpoint.display, mail::durationText(m_timeouts.serverReply));
        break;
    default: {
        QString detail = QString::fromUtf8(errorText).trimmed();
        if (detail.isEmpty())
            detail = QString::fromUtf8(curl_easy_strerror(run.code));
        result.reason = SmtpTranscript::cleanReplyText(detail.toUtf8(), mask);
        break;
    }
    }
    return result;
}

} // namespace corvane
