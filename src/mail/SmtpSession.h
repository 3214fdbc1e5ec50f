#pragma once

#include "mail/CredentialMask.h"
#include "mail/HostLookup.h"
#include "mail/MailOptions.h"
#include "mail/MailOutcome.h"
#include "mail/SaslMechanism.h"
#include "mail/ServerEndpoint.h"
#include "mail/SmtpReply.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <memory>
#include <vector>

namespace corvane {

// The server and the sign-in one message goes with. Messages with the same
// account share a connection.
struct SmtpAccount {
    ServerEndpoint endpoint;
    QHostAddress address;       // connect here instead of looking the host up
    QString heloName;
    bool login = false;         // sign in, when userName is set
    QString userName;
    QString password;
    QByteArray bearerToken;     // OAuth: XOAUTH2 or OAUTHBEARER, never a password mechanism
    QList<QSslCertificate> caCertificates; // trusted besides the system's store

    bool wantsLogin() const { return login && !userName.isEmpty(); }
    QByteArray key() const;
};

struct SmtpMessage {
    quint64 id = 0;
    QString sender;
    QStringList recipients;
    QByteArray data;          // CR LF lines, not dot-stuffed
    bool probeOnly = false;   // MAIL and RCPT, then RSET: never DATA
};

// The server's EHLO, as learnt on the connection's current security layer.
struct SmtpCapabilities {
    bool esmtp = false;
    bool startTls = false;
    bool pipelining = false;
    bool chunking = false;
    bool enhancedCodes = false;
    bool smtpUtf8 = false;
    qint64 sizeLimit = -1;    // -1: not announced; 0: announced without a limit
    QStringList auth;         // upper case
    QStringList lines;        // as the server wrote them, after the greeting line
};

// The steps of a session, for an observer that reports them one by one.
enum class SmtpStep { Greeting, Ehlo, StartTls, Encrypted, Auth, Mail, Rcpt, Reset, Quit };

class SmtpSessionListener {
public:
    virtual ~SmtpSessionListener() = default;
    // Everything said of message `id`, in submission order: all of one
    // message before any of the next. Must not call back into the session.
    virtual void sessionStatus(quint64 id, const QString &line) = 0;
    virtual void sessionProgress(quint64 id, int percent) = 0;
    virtual void sessionFinished(quint64 id, const MailOutcome &outcome) = 0;
    // At once, before a message's final "." (or BDAT LAST) is written, and
    // when the server has accepted it, before anything more is written: the
    // moments a record of it must be made so that a crash repeats at most the
    // message on the wire.
    virtual void sessionFinalSending(quint64 id) { (void)id; }
    virtual void sessionAccepted(quint64 id) { (void)id; }
    // Each reply as it is read, for a caller that walks the dialogue step by step.
    virtual void sessionStep(SmtpStep step, const SmtpReply &reply)
    {
        (void)step;
        (void)reply;
    }
};

// One SMTP submission client, driven by Qt's event loop. Callers hand it
// messages; it hands back one outcome per message, in order. With PIPELINING
// a message's MAIL, RCPTs and DATA go in one write, and its body and "." go
// with the next message's envelope; with CHUNKING as well, MAIL, RCPT, BDAT
// LAST and the body go in one write. At most one message's final "." (or BDAT
// LAST) is on the wire unanswered, so a crash repeats at most that one. Any
// failure drops the connection without QUIT; the messages behind it, of which
// the server accepted nothing, go out on a new one.
class SmtpSession : public QObject {
    Q_OBJECT
public:
    SmtpSession(MailTimeouts timeouts, bool reuseConnection, SmtpSessionListener &listener,
                QObject *parent = nullptr);
    ~SmtpSession() override;

    // Starts at once; what it reports goes to the listener, never back to
    // the caller.
    void submit(const SmtpAccount &account, const SmtpMessage &message);
    // Takes back up to `atMost` of the newest messages of which nothing was
    // sent yet, stopping at message `keep`; they report nothing. Returns
    // their ids, newest first.
    std::vector<quint64> withdraw(int atMost, quint64 keep);
    // Ends everything at once: each message not finished reports a cancel.
    void cancel();
    // Drops the connection without a word to the server.
    void abandon();
    bool hasWork() const { return !m_jobs.empty(); }

    bool isConnected() const { return m_phase != Phase::Closed; }

    const SmtpCapabilities &capabilities() const { return m_caps; }
    const QSslSocket &socket() const { return m_socket; }
    QList<QSslError> tlsErrors() const { return m_tlsErrors; }
    QString authMechanism() const { return m_mechanismName; }

private:
    enum class Phase { Closed, Connecting, Handshake, Setup, Ready, Quitting };
    enum class Expect { Greeting, Ehlo, Helo, StartTls, Auth, Mail, Rcpt, Data, EndOfData, Rset, Quit };
    struct Expected {
        Expect what;
        quint64 job = 0;
        int rcpt = -1;
    };
    struct Held {
        enum Kind { Status, Progress } kind;
        QString line;
        int percent = 0;
    };
    struct Job {
        SmtpAccount account;
        QByteArray key;
        SmtpMessage message;
        QDeadlineTimer deadline{QDeadlineTimer::Forever};
        bool started = false;     // a connection was opened for it, or a command written
        bool begun = false;       // a command of it was written
        bool retried = false;     // moved once to a new connection already
        bool onKeptConnection = false;
        bool answered = false;    // the server answered a command of it
        bool failed = false;
        bool finalQueued = false; // its final "." waits in m_out
        bool finalSent = false;
        bool done = false;        // outcome known, waiting for the messages before it
        int rcptAnswered = 0;
        int lastProgress = -1;
        MailOutcome outcome;
        std::vector<Held> held;
    };

    void schedulePump();
    void pump();
    void connectFor(Job &job);
    void connectToNext();
    bool mayStartEnvelope() const;
    void startEnvelope(Job &job);
    void writeRcpt(Job &job, int index);
    void writeData(Job &job);
    void writeBody(Job &job);
    void send(const QByteArray &line, Expected expected);
    void expect(Expected expected); // a reply owed to what m_out will carry
    void flush();
    void quit();
    void sendEhlo();
    void afterCapabilities();
    void startAuth();
    void becomeReady();

    void onConnected();
    void onEncrypted();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    void onSslErrors(const QList<QSslError> &errors);
    void onStall();
    void onWholeAttempt();
    void onIdle();

    void handleReply(const Expected &expected, const SmtpReply &reply);
    void handleSetupReply(const Expected &expected, const SmtpReply &reply);
    void handleAuthReply(const SmtpReply &reply);
    void handleMessageReply(const Expected &expected, const SmtpReply &reply);
    void parseEhlo(const SmtpReply &reply);

    void refuse(Job &job, MailPhase phase, const SmtpReply &reply, const QString &explanation);
    void fail(Job &job, MailOutcome::Kind kind, MailPhase phase, const QString &explanation,
              const SmtpReply &reply = {});
    void finish(Job &job);
    void report();
    // The connection is gone or given up: what was on it ends, or goes to a
    // new connection when the server cannot have accepted any of it.
    void connectionLost(const QString &reason, MailPhase phase, bool silent);
    void failSetup(const QString &reason, MailPhase phase, const SmtpReply &reply = {});
    void dropConnection();
    void requeueBegun();
    void requeue(Job &job);
    void closeSocket();
    void closed();

    Job *head();
    Job *find(quint64 id);
    void status(Job &job, const QString &line);
    void status(const QString &line);
    void progress(Job &job, int percent);
    void armStall();
    void armWhole();
    QString cleanText(const SmtpReply &reply) const;
    QString codeAndText(const SmtpReply &reply) const;
    QString where() const { return m_account.endpoint.display; }
    QString tlsVersion() const;

    MailTimeouts m_timeouts;
    bool m_reuse;
    SmtpSessionListener &m_listener;
    QSslSocket m_socket;
    HostLookup m_lookup;
    QList<QHostAddress> m_addresses; // still to try
    QTimer m_stallTimer;
    QTimer m_wholeTimer;
    QTimer m_idleTimer;

    std::deque<Job> m_jobs;          // unfinished, in submission order
    std::deque<Expected> m_expect;   // replies owed, in order
    std::size_t m_unwritten = 0;     // the last of them, for commands still in m_out
    QByteArray m_out;                // written in one go at the end of a round
    QByteArray m_in;

    Phase m_phase = Phase::Closed;
    SmtpAccount m_account;           // what the open connection was set up for
    QByteArray m_key;
    CredentialMask m_mask;
    SmtpCapabilities m_caps;
    QList<QSslError> m_tlsErrors;
    std::unique_ptr<SaslMechanism> m_mechanism;
    QString m_mechanismName;
    SmtpReply m_tokenChallenge;      // the last 334 to a bearer token
    bool m_startTlsUsed = false;
    bool m_loggedIn = false;
    bool m_greeted = false;
    int m_carried = 0;               // messages this connection has carried
    bool m_pumpPosted = false;
    bool m_inPump = false;
    bool m_pumpAgain = false;
    bool m_reporting = false;
    bool m_readingReplies = false;
};

} // namespace corvane
