#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

namespace corvane {

// A bearer token for one sign-in, held in memory only.
struct BearerToken {
    QByteArray accessToken;
    QString source;         // where it came from, for the status line
    bool fromCache = false; // held from an earlier fetch: nothing new to say
};

// Where the mail component gets bearer tokens for XOAUTH2 and OAUTHBEARER.
// The mail library knows nothing of how they are obtained: a message's
// properties carry an opaque sign-in name (MailProperties::signIn) that the
// caller got from the provider, and the provider knows what it stands for.
class TokenProvider : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // A token for the sign-in `signIn` names. The answer comes through
    // tokenReady or tokenFailed, from the event loop and never from inside
    // this call, exactly once per returned id.
    virtual quint64 requestToken(const QByteArray &signIn) = 0;
    // The server refused the token of `signIn`: the next request fetches anew.
    virtual void invalidate(const QByteArray &signIn) = 0;
    // Every request not yet answered fails.
    virtual void cancelRequests() = 0;

signals:
    void tokenReady(quint64 request, const corvane::BearerToken &token);
    // One sentence naming the cause, one of advice. Never holds a secret.
    void tokenFailed(quint64 request, const QString &problem);
};

} // namespace corvane

Q_DECLARE_METATYPE(corvane::BearerToken)
