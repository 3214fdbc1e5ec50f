#pragma once

#include "mail/MailOptions.h"
#include "mail/MailOutcome.h"
#include "mail/SessionClock.h"
#include "mail/SmtpConnection.h"
#include "mail/SmtpTransaction.h"
#include "mail/SmtpTypes.h"

#include <QList>
#include <QObject>
#include <QSslError>
#include <QSslSocket>
#include <QString>

#include <deque>
#include <vector>

namespace corvane {

// One SMTP submission client, driven by Qt's event loop. Callers hand it
// messages; it hands back one outcome per message, in order. It owns one
// connection at a time (SmtpConnection: the set-up states and the wire) and a
// transaction per message (SmtpTransaction: its steps). What may go out before
// a reply is the session's, from the server's EHLO: with PIPELINING a
// message's MAIL, RCPTs and DATA go in one write, and its body and "." go with
// the next message's envelope; with CHUNKING as well, MAIL, RCPT, BDAT LAST
// and the body go in one write. At most one message's final "." (or BDAT
// LAST) is on the wire unanswered, so a crash repeats at most that one. After
// a refusal the connection takes no new message: the replies still owed are
// read, then QUIT and TLS's close end it, and the messages behind go out on a
// new one. A connection out of step, stalled or broken is dropped at once. A
// 4xx to MAIL on a connection that has carried messages means the server's
// limit per session: the message goes first on a new connection, untried.
//
// Every event ends in one turn: the messages move on as far as the connection
// lets them, whatever that queued is written in one write, and what is known
// is reported. Time comes from `clock` (none: real timers), which must
// outlive the session.
class SmtpSession : public QObject, private SmtpConnection::Owner {
    Q_OBJECT
public:
    SmtpSession(MailTimeouts timeouts, bool reuseConnection, SmtpSessionListener &listener,
                QObject *parent = nullptr, SessionClock *clock = nullptr);
    ~SmtpSession() override;

    // Starts at once; what it reports goes to the listener, never back to
    // the caller.
    void submit(const SmtpAccount &account, const SmtpMessage &message);
    // Takes back up to `atMost` of the newest messages of which nothing was
    // sent yet, stopping at message `keep`; they report nothing. Returns
    // their ids, newest first.
    std::vector<quint64> withdraw(int atMost, quint64 keep);
    // Ends everything at once: each message not finished reports a cancel,
    // and the connection is dropped.
    void cancel();
    // The same for a program that closes, but the connection (a kept one
    // too) ends with QUIT where it is in step: the replies owed read first,
    // within the polite close's limit.
    void close();
    // Drops the connection without a word to the server.
    void abandon();
    bool hasWork() const { return !m_transactions.empty(); }

    bool isConnected() const { return m_connection.state() != SmtpConnection::State::Closed; }
    // The socket too is closed, TLS's closing message and all.
    bool isDisconnected() const
    {
        return !isConnected() && m_connection.socket().state() == QAbstractSocket::UnconnectedState;
    }

    const SmtpCapabilities &capabilities() const { return m_connection.capabilities(); }
    const QSslSocket &socket() const { return m_connection.socket(); }
    QList<QSslError> tlsErrors() const { return m_connection.tlsErrors(); }
    QString authMechanism() const { return m_connection.mechanismName(); }
    SaslStart saslStart() const { return m_connection.saslStart(); }

private:
    using Step = SmtpTransaction::Step;

    void turn();
    void advance();
    bool mayBegin(SmtpFlow flow) const;
    void open(SmtpTransaction &tx);
    void begin(SmtpTransaction &tx);
    void quit();
    void endConnection(bool closing);
    void closeConnection();
    void dropConnection();
    void cancelAll();

    void connectionStatus(const QString &line) override;
    void connectionStep(SmtpStep step, const SmtpReply &reply) override;
    void connectionEnded(const SmtpEnding &ending) override;
    void messageReply(const SmtpOwed &owed, const SmtpReply &reply) override;
    void staleReply(SmtpTransaction &tx, const SmtpOwed &owed, const SmtpReply &reply);
    void finalSending(quint64 id) override;
    void connectionEvent() override;

    void onStall();
    void onWholeAttempt();
    void onIdle();

    void accept(SmtpTransaction &tx, const SmtpReply &reply);
    void refuse(SmtpTransaction &tx, MailPhase phase, const SmtpReply &reply, const QString &explanation);
    void fail(SmtpTransaction &tx, MailOutcome::Kind kind, MailPhase phase, const QString &explanation,
              const SmtpReply &reply = {});
    bool finalOnWire(const SmtpTransaction &tx) const;
    void report();

    SmtpTransaction *head();
    SmtpTransaction *find(quint64 id);
    void status(SmtpTransaction &tx, const QString &line);
    void progress(SmtpTransaction &tx, int percent);
    void armStall();
    void armWhole();
    std::chrono::milliseconds now() const { return SessionClock::nowOn(m_clock); }

    MailTimeouts m_timeouts;
    bool m_reuse;
    SmtpSessionListener &m_listener;
    SessionClock *m_clock;
    SmtpConnection m_connection;
    SessionTimer m_stallTimer;
    SessionTimer m_wholeTimer;
    SessionTimer m_idleTimer;

    std::deque<SmtpTransaction> m_transactions; // unfinished or unreported, in submission order
    int m_carried = 0;          // messages the open connection has carried
    // The open connection carried messages, went quiet, and has not answered
    // since it was taken up again: a firewall may have dropped it silently.
    bool m_awakening = false;
    bool m_turning = false;     // inside turn(): a submit from the listener only asks for another round
    bool m_turnAgain = false;
    bool m_moved = false;       // the socket did something since the last turn
    bool m_reopenPosted = false; // a closed connection is opened again from the event loop
    bool m_closing = false;      // close(): the connection's end has one limit, from the start of it
};

} // namespace corvane
