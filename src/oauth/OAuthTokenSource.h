#pragma once

#include "mail/CaFileCache.h"
#include "mail/CredentialMask.h"
#include "mail/TokenProvider.h"
#include "oauth/OAuthConfig.h"
#include "oauth/ProxyProbe.h"
#include "oauth/TokenAnswer.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
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

// Gets bearer tokens from the provider's token endpoint: Microsoft's client
// credentials (secret or certificate), Google's service account, or a refresh
// token. A token is kept in memory for the config it was fetched for and
// fetched anew ahead of its expiry (5 minutes, or a tenth of its life if that
// is less). Requests for the same config share one fetch. Event-driven:
// nothing waits; every answer comes through tokenReady or tokenFailed.
//
// A refresh token the endpoint renews (Microsoft does with every refresh) is
// used from then on, also for a sign-in named with the old one, and handed
// out through refreshTokenRenewed; writing it down is the owner's part.
class OAuthTokenSource : public TokenProvider {
    Q_OBJECT
public:
    OAuthTokenSource(std::chrono::milliseconds timeout, std::function<qint64()> nowMs, QObject *parent = nullptr);
    ~OAuthTokenSource() override;

    // The name a message's properties carry to sign in with `config`; its CA
    // file is read when a token is requested. The last few configs are kept.
    QByteArray signInFor(const OAuthConfig &config);

    quint64 requestToken(const QByteArray &signIn) override;
    // The server refused the token: the next request for `signIn` fetches anew.
    void invalidate(const QByteArray &signIn) override;
    // Every request not yet answered fails with "cancelled"; fetches are aborted.
    void cancelRequests() override;

    // The token held for `signIn`, with what the endpoint said of it (the
    // account check reports it once tokenReady came); none when none is held.
    std::optional<OAuthToken> heldToken(const QByteArray &signIn) const;

signals:
    // The endpoint answered the refresh token `previous` with a new one,
    // which this source uses from now on. Both are credentials: never shown.
    void refreshTokenRenewed(const QString &previous, const QString &renewed);

private:
    struct Fetch {
        QByteArray key;
        OAuthConfig config; // as its sign-in names it
        OAuthAdviceContext advice;
        QNetworkProxy proxy;
        std::unique_ptr<ProxyProbe> probe; // after a failure through an HTTP proxy: what the proxy says
        QString failure;                   // Qt's words for it, masked
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
        std::optional<BearerToken> token;
        QString problem;
    };
    struct Cached {
        QByteArray key;
        OAuthToken token;
        qint64 obtainedMs = 0;
    };

    // `key`: the sign-in name, which the held token and a running fetch go by.
    quint64 request(const QByteArray &key, const OAuthConfig &config);
    void start(const QByteArray &key, const OAuthConfig &config, quint64 id);
    // The newest refresh token for `config`'s; true: it was renewed.
    bool renewed(OAuthConfig &config) const;
    // The config `signIn` names, with the newest refresh token, and the name it goes by now.
    std::optional<std::pair<QByteArray, OAuthConfig>> resolve(const QByteArray &signIn) const;
    // Remembers the renewal; the name of the config that holds the new token.
    QByteArray keepRenewed(const OAuthConfig &config, const QString &refreshToken);
    void onFinished(Fetch *fetch);
    void probe(Fetch *fetch);
    void onProbed(Fetch *fetch);
    QString throughProxy(const Fetch *fetch) const;
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
    std::deque<std::pair<QString, QString>> m_renewed; // refresh tokens: previous, renewed; newest last
    std::deque<Outcome> m_outbox;
    QTimer m_deliver;
    quint64 m_nextId = 0;
};

} // namespace corvane
