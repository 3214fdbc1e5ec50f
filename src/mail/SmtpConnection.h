#pragma once

#include "mail/HostLookup.h"
#include "mail/SaslMechanism.h"
#include "mail/SmtpTypes.h"
#include "mail/SmtpWording.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslError>
#include <QSslSocket>

#include <deque>
#include <memory>

namespace corvane {

// The commands a reply can be owed to: the connection's own, then from Mail
// on a message's.
enum class SmtpCommand { Greeting, Ehlo, Helo, StartTls, Auth, Quit, Mail, Rcpt, Data, EndOfData, Rset };

// One reply owed, and to whom: the connection's own set-up, or a message.
struct SmtpOwed {
    SmtpCommand command;
    quint64 message = 0;
    int rcpt = -1; // for Rcpt: which recipient
};

// Why a connection ended from the server's side, or could not be set up.
struct SmtpEnding {
    SmtpEnding() = default;
    SmtpEnding(const QString &reason, MailPhase phase, const SmtpReply &reply = {}, bool timedOut = false,
               bool inStep = false)
        : reason(reason), phase(phase), reply(reply), timedOut(timedOut), inStep(inStep)
    {
    }

    QString reason;
    MailPhase phase = MailPhase::Setup;
    SmtpReply reply;       // the reply that refused the set-up, if one did
    bool timedOut = false; // the server stopped answering
    // A refusal the dialogue can go on from: the connection may still say QUIT.
    bool inStep = false;
};

// One connection to an SMTP server: the socket, the set-up dialogue from the
// greeting to a login as named states, and the wire, that is what goes out in
// the next write and the replies owed in order. A reply goes to whoever sent
// its command: the set-up here, a message's to the owner. A reply when none is
// owed on the wire ends the connection: a server talking out of turn, or text
// injected on the way.
class SmtpConnection {
public:
    enum class State {
        Closed,
        Connecting, // name lookup and TCP
        Handshake,  // TLS from the first byte (smtps://), before the greeting
        Greeting,
        Ehlo,       // EHLO (or HELO) in the clear, or over TLS from the first byte
        StartTls,   // STARTTLS written, its 220 awaited
        Upgrading,  // the TLS handshake after that 220
        TlsEhlo,    // EHLO again over TLS, what was offered before forgotten
        Auth,
        Ready,      // messages may go
        Quitting,
    };

    // What the connection tells the session that owns it. Every socket event
    // ends with connectionEvent(), so the session moves on from there.
    class Owner {
    public:
        virtual void connectionStatus(const QString &line) = 0;
        virtual void connectionStep(SmtpStep step, const SmtpReply &reply) = 0;
        // The server ended the connection, refused its set-up or broke the
        // protocol; also the answer to QUIT. The owner closes it.
        virtual void connectionEnded(const SmtpEnding &ending) = 0;
        virtual void messageReply(const SmtpOwed &owed, const SmtpReply &reply) = 0;
        // Just before the write that carries message `id`'s final "." or BDAT LAST.
        virtual void finalSending(quint64 id) = 0;
        virtual void connectionEvent() = 0;

    protected:
        ~Owner() = default;
    };

    SmtpConnection(QObject &context, Owner &owner);
    ~SmtpConnection();
    SmtpConnection(const SmtpConnection &) = delete;
    SmtpConnection &operator=(const SmtpConnection &) = delete;

    // Looks the name up (unless the account or the host is an address) and connects.
    void open(const SmtpAccount &account, const QByteArray &key);
    // Everything owed is forgotten: QUIT alone, its answer or a limit ends it.
    void quit();
    // Takes no new step: the replies still owed are read, the set-up goes no
    // further, and the owner says QUIT once nothing is owed. False when the
    // connection cannot end in step: no greeting yet, or TLS under way or due.
    [[nodiscard]] bool windDown();
    bool stopping() const { return m_stopping; }
    // Forgets the wire and closes the socket: after the answer to QUIT with
    // TLS's own closing message and a proper TCP close, else aborted at once.
    void close();

    // A command line for the next write and the reply it is owed.
    void command(const QByteArray &line, SmtpOwed owed);
    // Raw bytes for the next write (a body and its end, a chunk), owed one reply.
    void append(const QByteArray &bytes, SmtpOwed owed);
    // The one write: whatever the round queued, in one go. False when nothing went.
    bool flush();
    bool owesNothing() const { return m_owed.empty(); }
    bool owes(SmtpCommand command) const;
    // The final "." or BDAT LAST of message `id` is queued and not yet written.
    bool finalUnwritten(quint64 id) const;

    State state() const { return m_state; }
    bool settingUp() const { return m_state != State::Closed && m_state != State::Ready && m_state != State::Quitting; }
    const QByteArray &key() const { return m_key; }
    const SmtpAccount &account() const { return m_account; }
    const SmtpCapabilities &capabilities() const { return m_caps; }
    const SmtpWording &wording() const { return m_wording; }
    const QSslSocket &socket() const { return m_socket; }
    QList<QSslError> tlsErrors() const { return m_tlsErrors; }
    QString mechanismName() const { return m_mechanismName; }
    SaslStart saslStart() const { return m_saslStart; }

private:
    void connectToNext();
    void onConnected();
    void onEncrypted();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    SmtpEnding endingFor(QAbstractSocket::SocketError error) const;
    void readReplies();

    void setupReply(const SmtpOwed &owed, const SmtpReply &reply);
    void ehloAnswered(SmtpCommand sent, const SmtpReply &reply);
    void authAnswered(const SmtpReply &reply);
    void sendEhlo(State next);
    void afterCapabilities();
    void startAuth();
    // A refusal, or a set-up this side will not go on with: in step.
    void end(const QString &reason, MailPhase phase, const SmtpReply &reply = {});
    // The server broke the protocol: nothing it says can be followed.
    void breakOff(const QString &reason);

    QObject &m_context;
    Owner &m_owner;
    QSslSocket m_socket;
    HostLookup m_lookup;
    QList<QHostAddress> m_addresses; // still to try
    State m_state = State::Closed;
    SmtpAccount m_account;           // what the open connection was set up for
    QByteArray m_key;
    SmtpWording m_wording;
    SmtpCapabilities m_caps;
    QList<QSslError> m_tlsErrors;
    std::unique_ptr<SaslMechanism> m_mechanism;
    QString m_mechanismName;
    SmtpReply m_tokenChallenge;      // the last 334 to a bearer token
    SaslStart m_saslStart = SaslStart::None;
    QByteArray m_initialResponse;    // base64, for the first 334 when the AUTH line would be too long
    bool m_stopping = false;
    bool m_quitAnswered = false;

    std::deque<SmtpOwed> m_owed;     // replies owed, in order
    std::size_t m_unwritten = 0;     // the last of them, for what m_out still holds
    QByteArray m_out;
    QByteArray m_in;
};

} // namespace corvane
