#pragma once

#include "mail/MailOutcome.h"
#include "mail/ServerEndpoint.h"
#include "mail/SmtpReply.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

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

    static SmtpCapabilities fromEhlo(const SmtpReply &reply);
};

// How a sign-in's first response went: on the AUTH line itself; alone after
// the server's first 334, because the line would have passed the 512 octets a
// command line may have (RFC 4954); or in answer to the mechanism's own
// challenges (LOGIN, CRAM-MD5).
enum class SaslStart { None, OnAuthLine, AfterChallenge, Challenges };

// The steps of a session, for an observer that reports them one by one.
enum class SmtpStep { Greeting, Ehlo, StartTls, Encrypted, Auth, Mail, Rcpt, Reset, Quit };

class SmtpSessionListener {
public:
    virtual ~SmtpSessionListener() = default;
    // Everything said of message `id`, in submission order: all of one
    // message before any of the next. Must not call back into the session,
    // but for sessionFinished, which may submit.
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
    // The socket has closed, from either side (may come from inside the
    // session: must not call back into it).
    virtual void sessionDisconnected() {}
};

} // namespace corvane
