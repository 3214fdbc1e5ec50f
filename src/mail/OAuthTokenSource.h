#pragma once

#include "mail/CaFileCache.h"
#include "mail/CredentialMask.h"
#include "mail/OAuthConfig.h"
#include "mail/TokenProvider.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QNetworkReply;

namespace corvane {

// A bearer token, held in memory only.
struct OAuthToken {
    QByteArray accessToken;
    qint64 expiresAtMs = 0;     // 0: the endpoint gave no lifetime; good for this sign-in only
    qint64 expiresIn = 0;       // seconds, as the endpoint said
    int httpStatus = 0;         // of the answer that brought it
    QString endpoint;           // the token URL it came from
    bool fromCache = false;
    QJsonObject claimsForInfo;  // the access token's claims when it is a JWT (Microsoft's "roles")
};

// Gets bearer tokens from the provider's token endpoint: Microsoft's client
// credentials (secret or certificate), Google's service account, or a refresh
// token. A token is kept for the config it was fetched for and fetched anew
// ahead of its expiry. Event-driven: nothing waits.
class OAuthTokenSource : public TokenProvider {
    Q_OBJECT
public:
    OAuthTokenSource(std::chrono::milliseconds timeout, std::function<qint64()> nowMs, QObject *parent = nullptr);
    ~OAuthTokenSource() override;

    // A cached token for exactly this config while it is not near its expiry
    // (5 minutes, or a tenth of its life if that is less), else a new one.
    // The outcome comes through `ready` or `failed`, always from the event
    // loop, exactly once per returned id. Requests for the same config share
    // one fetch.
    quint64 request(const OAuthConfig &config);
    // The server refused the token: the next request fetches anew.
    void invalidate();
    // Every request not yet answered fails with "cancelled"; fetches are aborted.
    void cancel();

    // The name a message's properties carry to sign in with `config`; its CA
    // file is read when a token is requested. The last few configs are kept.
    QByteArray signInFor(const OAuthConfig &config);
    quint64 requestToken(const QByteArray &signIn) override;
    void invalidate(const QByteArray &signIn) override;
    void cancelRequests() override { cancel(); }

signals:
    void ready(quint64 requestId, const corvane::OAuthToken &token);
    // One sentence naming the cause, one of advice. Never holds a secret.
    void failed(quint64 requestId, const QString &problem);

private:
    struct Fetch {
        QByteArray key;
        QString endpoint;
        qint64 startedMs = 0;
        QNetworkReply *reply = nullptr; // a child of m_network
        std::unique_ptr<QTimer> timer;
        std::vector<quint64> waiting;
        std::vector<CredentialMask> masks;
        QList<QSslError> sslErrors;
    };
    struct Outcome {
        quint64 id = 0;
        std::optional<OAuthToken> token;
        QString problem;
    };
    struct Cached {
        QByteArray key;
        OAuthToken token;
        qint64 obtainedMs = 0;
    };

    void start(const OAuthConfig &config, quint64 id);
    void onFinished(Fetch *fetch);
    void onTimeout(Fetch *fetch);
    void conclude(Fetch *fetch, const std::optional<OAuthToken> &token, const QString &problem);
    void post(Outcome outcome);
    void deliver();
    bool fresh(const Cached &cached) const;

    std::chrono::milliseconds m_timeout;
    std::deque<std::pair<QByteArray, OAuthConfig>> m_signIns; // newest last
    CaFileCache m_authorities;
    std::function<qint64()> m_nowMs;
    QNetworkAccessManager m_network;
    std::vector<std::unique_ptr<Fetch>> m_fetches;
    std::optional<Cached> m_cache;
    std::deque<Outcome> m_outbox;
    QTimer m_deliver;
    quint64 m_nextId = 0;
};

} // namespace corvane

Q_DECLARE_METATYPE(corvane::OAuthToken)
