#pragma once

#include "mail/CredentialMask.h"
#include "mail/ServerEndpoint.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

namespace corvane {

// Follows one SMTP dialogue as libcurl reports it (commands out, reply lines in,
// informational texts) and turns it into short status lines for the operator.
// It keeps the verb of each command only: what follows AUTH (credentials, in
// whatever encoding) is never looked at, stored or shown.
class SmtpTranscript {
public:
    using StatusSink = std::function<void(const QString &)>;

    struct Reply {
        int code = 0;
        QString text;
    };

    enum class Step { Greeting, Ehlo, StartTls, Auth, Mail, Rcpt, Data, Message, Quit, Other };

    SmtpTranscript(const ServerEndpoint &endpoint, const QString &userName, bool loginWanted,
                   bool connectAnnounced, StatusSink status, CredentialMask mask = {});

    // Called as soon as an unencrypted EHLO (or HELO) has been answered, before
    // libcurl sends the next command: the last moment to stop a password from
    // going out in the clear. The argument tells whether STARTTLS was offered.
    void setPlainGreetingHook(std::function<void(bool)> hook) { m_plainGreeting = std::move(hook); }

    void onText(const QByteArray &text);
    void onCommand(const QByteArray &line);
    void onReplyLine(const QByteArray &line);

    bool tcpConnected() const { return m_tcpConnected; }
    bool greeted() const { return m_greeted; }
    bool encrypted() const { return m_encrypted; }
    bool reusedConnection() const { return m_reused; }
    bool authSent() const { return m_authSent; }
    bool loggedIn() const { return m_loggedIn; }
    bool dataSent() const { return m_dataSent; }
    int acceptedRecipients() const { return m_accepted; }
    QStringList refusedRecipients() const { return m_refused; }
    bool hasFinalReply() const { return m_finalReply.code != 0; }
    Reply finalReply() const { return m_finalReply; }
    // The first 4xx/5xx reply and the step it answered (code 0: none).
    Reply rejection() const { return m_rejection; }
    Step rejectedStep() const { return m_rejectedStep; }
    Step currentStep() const { return m_step; }

    bool startTlsOffered() const { return m_startTlsOffered; }

    // Reply text made fit for a status line: credentials masked first, then
    // control characters out and the length capped.
    static QString cleanReplyText(const QByteArray &text, const CredentialMask &mask = {});

private:
    void finishReply(int code);
    void reject(int code);

    ServerEndpoint m_endpoint;
    QString m_userName;
    bool m_loginWanted;
    bool m_connectAnnounced;
    StatusSink m_status;
    CredentialMask m_mask;
    std::function<void(bool)> m_plainGreeting;
    bool m_startTlsOffered = false;

    Step m_step = Step::Greeting;
    QString m_rcptAddress;
    QByteArray m_replyText; // lines of the reply being read
    int m_lastReplyCode = 0;
    bool m_startTlsAccepted = false;

    bool m_tcpConnected = false;
    bool m_greeted = false;
    bool m_encrypted = false;
    bool m_reused = false;
    bool m_authSent = false;
    bool m_loggedIn = false;
    bool m_dataSent = false;
    int m_accepted = 0;
    QStringList m_refused;
    Reply m_finalReply;
    Reply m_rejection;
    Step m_rejectedStep = Step::Other;
    QString m_tlsVersion;
};

} // namespace corvane
