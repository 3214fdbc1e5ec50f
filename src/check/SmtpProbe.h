#pragma once

#include "mail/MailOptions.h"
#include "mail/MailOutcome.h"
#include "mail/SmtpReply.h"
#include "mail/SmtpSession.h"

#include <QAbstractSocket>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

class QEventLoop;

namespace corvane {

// One probe through the mail library's SMTP client: connect, greeting, EHLO,
// TLS, login, MAIL FROM and RCPT TO, then RSET and QUIT, never DATA. It keeps
// what each step said, and what the socket showed before the client closed it,
// so that the account check can judge the session stage by stage afterwards.
class SmtpProbe : private SmtpSessionListener {
public:
    using Clock = std::chrono::steady_clock;

    struct Step {
        SmtpStep step;
        SmtpReply reply;
        Clock::time_point at;
        SmtpCapabilities capabilities; // for Ehlo: what the client learnt from this reply
    };

    // The handshake, kept when it happens: the client aborts the socket on
    // failure, and a certificate it refused is of most interest then.
    struct Handshake {
        bool encrypted = false;
        bool certificateSeen = false;
        QSsl::SslProtocol protocol = QSsl::UnknownProtocol;
        QString cipher;
        QList<QSslCertificate> chain;
        Clock::time_point at;
    };

    struct Trace {
        Clock::time_point started;
        bool connected = false;        // TCP, before any TLS
        Clock::time_point connectedAt;
        bool socketFailed = false;
        QAbstractSocket::SocketError socketError = QAbstractSocket::UnknownSocketError;
        QString socketErrorText;
        Handshake handshake;
        QList<QSslError> tlsErrors;
        QString mechanism;
        std::vector<Step> steps;
        bool finished = false;
        MailOutcome outcome;
        Clock::time_point finishedAt;
        Clock::time_point closedAt;

        // The first step of that kind at or after index `from`; null if none.
        const Step *find(SmtpStep step, std::size_t from = 0) const;
        // The index just after the STARTTLS handshake, or 0 without one.
        std::size_t afterStartTls() const;
        // Where the steps on the plain connection end: at STARTTLS, if there was one.
        std::size_t plainEnd() const;
        std::vector<const Step *> all(SmtpStep step) const;
        // The last EHLO (or HELO) reply among steps [from, to); `count`, when
        // given, is raised by the number of them.
        const Step *lastEhlo(std::size_t from, std::size_t to, int *count = nullptr) const;
        // What the last accepted EHLO offered: the client goes by it.
        const SmtpCapabilities &capabilities() const;
    };

    explicit SmtpProbe(MailTimeouts timeouts);

    // Runs the session until the client has reported the message and the
    // connection is closed (after QUIT, or dropped after a failure).
    Trace run(const SmtpAccount &account, const SmtpMessage &message);

private:
    void sessionStatus(quint64 id, const QString &line) override;
    void sessionProgress(quint64 id, int percent) override;
    void sessionFinished(quint64 id, const MailOutcome &outcome) override;
    void sessionStep(SmtpStep step, const SmtpReply &reply) override;

    void watchSocket(const QSslSocket &socket);
    void keepHandshake(const QSslSocket &socket, bool encrypted);
    void settleCapabilities();
    void endWhenClosed();

    MailTimeouts m_timeouts;
    Trace m_trace;
    const SmtpSession *m_session = nullptr;
    QEventLoop *m_loop = nullptr;
    bool m_ehloPending = false;
};

} // namespace corvane
