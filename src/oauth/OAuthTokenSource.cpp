#include "oauth/OAuthTokenSource.h"

#include "oauth/OAuthGrant.h"
#include "oauth/OAuthProxy.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

#include <algorithm>

namespace corvane {

namespace {

// A token answer is a few kilobytes; more is not one, and is not read.
constexpr qint64 MaxAnswer = 256 * 1024;
// Fetched anew this long before expiry at the latest.
constexpr qint64 RefreshAheadMs = 5 * 60 * 1000;
// A proxy answers CONNECT at once or not at all.
constexpr std::chrono::milliseconds ProbeLimit{5000};
// Renewals remembered: a handful covers every sign-in named before one.
constexpr std::size_t KeptRenewals = 16;

// " through the proxy host:port" after the endpoint's name; nothing without one.
QString through(const QString &proxy)
{
    return proxy.isEmpty() ? proxy : QStringLiteral(" through ") + proxy;
}

} // namespace

OAuthTokenSource::OAuthTokenSource(std::chrono::milliseconds timeout, std::function<qint64()> nowMs, QObject *parent)
    : TokenProvider(parent), m_timeout(timeout), m_nowMs(std::move(nowMs))
{
    qRegisterMetaType<BearerToken>();
    m_deliver.setSingleShot(true);
    m_deliver.setInterval(0);
    connect(&m_deliver, &QTimer::timeout, this, &OAuthTokenSource::deliver);
}

OAuthTokenSource::~OAuthTokenSource()
{
    // The replies outlive this object's body (they belong to m_network): none may call back.
    for (const auto &fetch : m_fetches) {
        disconnect(fetch->reply, nullptr, this, nullptr);
        fetch->reply->abort();
    }
}

quint64 OAuthTokenSource::request(const QByteArray &key, const OAuthConfig &config)
{
    const quint64 id = ++m_nextId;
    if (m_cache && m_cache->key == key && fresh(*m_cache)) {
        const OAuthToken &held = m_cache->token;
        post({id, BearerToken{held.accessToken, held.endpoint + through(held.proxy), true}, QString()});
        return id;
    }
    const auto joined = std::find_if(m_fetches.begin(), m_fetches.end(), [&](const auto &f) { return f->key == key; });
    if (joined != m_fetches.end())
        (*joined)->waiting.push_back(id);
    else
        start(key, config, id);
    return id;
}

QByteArray OAuthTokenSource::signInFor(const OAuthConfig &config)
{
    // A message lined up before a change of settings keeps the sign-in it was
    // filled with; a handful covers every message in flight.
    constexpr std::size_t Kept = 16;
    const QByteArray key = config.key();
    const auto known = std::find_if(m_signIns.begin(), m_signIns.end(),
                                    [&](const auto &entry) { return entry.first == key; });
    if (known != m_signIns.end())
        m_signIns.erase(known);
    m_signIns.emplace_back(key, config);
    while (m_signIns.size() > Kept)
        m_signIns.pop_front();
    return key;
}

std::optional<std::pair<QByteArray, OAuthConfig>> OAuthTokenSource::resolve(const QByteArray &signIn) const
{
    const auto known = std::find_if(m_signIns.begin(), m_signIns.end(),
                                    [&](const auto &entry) { return entry.first == signIn; });
    if (known == m_signIns.end())
        return std::nullopt;
    OAuthConfig config = known->second;
    // A renewed refresh token goes by the name of a config that holds it,
    // which is also the name the settings give once they hold it.
    const QByteArray key = renewed(config) ? config.key() : signIn;
    return std::pair{key, std::move(config)};
}

bool OAuthTokenSource::renewed(OAuthConfig &config) const
{
    bool changed = false;
    // Each step leads to a newer token; keepRenewed leaves no loop, and the count bounds it anyway.
    for (std::size_t step = 0; step < m_renewed.size(); ++step) {
        const auto next = std::find_if(m_renewed.begin(), m_renewed.end(), [&](const auto &renewal) {
            return renewal.first == config.settings.RefreshToken;
        });
        if (next == m_renewed.end())
            break;
        config.settings.RefreshToken = next->second;
        changed = true;
    }
    return changed;
}

QByteArray OAuthTokenSource::keepRenewed(const OAuthConfig &config, const QString &refreshToken)
{
    const QString &previous = config.settings.RefreshToken;
    m_renewed.erase(std::remove_if(m_renewed.begin(), m_renewed.end(),
                                   [&](const auto &renewal) {
                                       return renewal.first == previous || renewal.first == refreshToken;
                                   }),
                    m_renewed.end());
    m_renewed.emplace_back(previous, refreshToken);
    while (m_renewed.size() > KeptRenewals)
        m_renewed.pop_front();
    OAuthConfig renewedConfig = config;
    renewedConfig.settings.RefreshToken = refreshToken;
    return renewedConfig.key();
}

quint64 OAuthTokenSource::requestToken(const QByteArray &signIn)
{
    const auto resolved = resolve(signIn);
    if (!resolved) {
        const quint64 id = ++m_nextId;
        post({id, std::nullopt,
              QStringLiteral("The OAuth settings this message was sent with are no longer known. "
                             "It is tried again with the current ones.")});
        return id;
    }
    return request(resolved->first, resolved->second);
}

void OAuthTokenSource::invalidate(const QByteArray &signIn)
{
    // Another sign-in's token was not refused.
    const auto resolved = resolve(signIn);
    if (m_cache && m_cache->key == (resolved ? resolved->first : signIn))
        m_cache.reset();
}

std::optional<OAuthToken> OAuthTokenSource::heldToken(const QByteArray &signIn) const
{
    const auto resolved = resolve(signIn);
    if (!m_cache || m_cache->key != (resolved ? resolved->first : signIn))
        return std::nullopt;
    return m_cache->token;
}

void OAuthTokenSource::cancelRequests()
{
    const QString cancelled = QStringLiteral("Token request cancelled.");
    for (const auto &fetch : m_fetches) {
        disconnect(fetch->reply, nullptr, this, nullptr);
        fetch->reply->abort();
        fetch->reply->deleteLater();
        for (quint64 id : fetch->waiting)
            m_outbox.push_back({id, std::nullopt, cancelled});
    }
    m_fetches.clear();
    // Decided but not yet handed out counts as under way.
    for (Outcome &outcome : m_outbox) {
        outcome.token.reset();
        outcome.problem = cancelled;
    }
    if (!m_outbox.empty())
        m_deliver.start();
}

bool OAuthTokenSource::fresh(const Cached &cached) const
{
    const qint64 expires = cached.token.expiresAtMs;
    if (expires <= 0)
        return false;
    const qint64 ahead = std::min(RefreshAheadMs, (expires - cached.obtainedMs) / 10);
    return m_nowMs() < expires - ahead;
}

void OAuthTokenSource::start(const QByteArray &key, const OAuthConfig &config, quint64 id)
{
    const qint64 now = m_nowMs();
    // Named without what CA_File holds now: a token does not depend on the
    // authorities it was fetched with.
    OAuthConfig trusted = config;
    if (!config.caFile.isEmpty() && config.caCertificates.isEmpty())
        trusted.caCertificates = m_authorities.load(config.caFile);
    OAuthGrant grant = OAuthGrant::build(trusted, now);
    if (!grant.ok()) {
        post({id, std::nullopt, grant.error});
        return;
    }
    auto fetch = std::make_unique<Fetch>();
    Fetch *f = fetch.get();
    f->key = key;
    f->config = config;
    f->advice = grant.advice;
    f->proxy = grant.proxy.forEndpoint(grant.endpoint);
    f->endpoint = grant.endpoint.toString();
    f->startedMs = now;
    f->waiting.push_back(id);
    f->masks = std::move(grant.masks);

    QNetworkRequest request(grant.endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    // A redirect would carry the credentials to a place nobody configured.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Each request stands alone: nothing of an earlier answer goes along.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    if (!trusted.caCertificates.isEmpty()) // besides the system's, not instead
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + trusted.caCertificates);
    request.setSslConfiguration(tls);
    // Set for every request: NoProxy keeps one without a proxy off whatever the environment names.
    m_network.setProxy(f->proxy);
    f->reply = m_network.post(request, grant.form);
    grant.form.fill('\0');
    connect(f->reply, &QNetworkReply::finished, this, [this, f] { onFinished(f); });
    connect(f->reply, &QNetworkReply::sslErrors, this, [f](const QList<QSslError> &errors) { f->sslErrors = errors; });
    connect(f->reply, &QNetworkReply::downloadProgress, this, [this, f](qint64 received, qint64) {
        if (received > MaxAnswer)
            conclude(f, std::nullopt,
                     QStringLiteral("The token endpoint %1 sent an answer of more than %2 KB. Check Token_Url: it "
                                    "must be the provider's token endpoint.")
                         .arg(f->reply->url().host())
                         .arg(MaxAnswer / 1024));
    });
    f->timer = std::make_unique<QTimer>();
    f->timer->setSingleShot(true);
    connect(f->timer.get(), &QTimer::timeout, this, [this, f] { onTimeout(f); });
    f->timer->start(m_timeout);
    m_fetches.push_back(std::move(fetch));
}

void OAuthTokenSource::onTimeout(Fetch *fetch)
{
    conclude(fetch, std::nullopt,
             QStringLiteral("No answer from the token endpoint %1%2 within %3 seconds. Check the network, any proxy "
                            "or firewall on the way, and Token_Url.")
                 .arg(fetch->reply->url().host(), throughProxy(fetch))
                 .arg(double(m_timeout.count()) / 1000.0));
}

QString OAuthTokenSource::throughProxy(const Fetch *fetch) const
{
    return through(OAuthProxy::describe(fetch->proxy));
}

// Qt's reply says little of what the proxy answered: the proxy is asked itself.
void OAuthTokenSource::probe(Fetch *fetch)
{
    fetch->timer->stop();
    const QUrl url = fetch->reply->url();
    fetch->probe = std::make_unique<ProxyProbe>(fetch->proxy, url.host(), quint16(url.port(443)),
                                                std::min(m_timeout, ProbeLimit));
    connect(fetch->probe.get(), &ProxyProbe::finished, this, [this, fetch] { onProbed(fetch); });
    fetch->probe->start();
}

void OAuthTokenSource::onProbed(Fetch *fetch)
{
    ProxyAnswer answer = fetch->probe->answer();
    const QString host = fetch->reply->url().host();
    if (answer.status == 200) // the tunnel opens: what failed lies beyond the proxy
        return conclude(fetch, std::nullopt,
                        QStringLiteral("The token endpoint %1 could not be reached%2: %3. Check Token_Url, and the "
                                       "network beyond the proxy.")
                            .arg(host, throughProxy(fetch), fetch->failure));
    answer.reason = maskedText(fetch->masks, answer.reason);
    answer.networkError = maskedText(fetch->masks, answer.networkError);
    conclude(fetch, std::nullopt, OAuthProxy::failure(fetch->proxy, answer, host));
}

void OAuthTokenSource::onFinished(Fetch *fetch)
{
    QNetworkReply *reply = fetch->reply;
    const QString host = reply->url().host();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0) {
        if (!fetch->sslErrors.isEmpty())
            return conclude(fetch, std::nullopt,
                            QStringLiteral("The certificate of the token endpoint %1 was not accepted: %2. Add the "
                                           "authority that signed it to CA_File, or check the system's store.")
                                .arg(host, fetch->sslErrors.first().errorString()));
        fetch->failure = maskedText(fetch->masks, reply->errorString());
        if (fetch->proxy.type() == QNetworkProxy::HttpProxy && reply->error() != QNetworkReply::OperationCanceledError)
            return probe(fetch);
        return conclude(fetch, std::nullopt,
                        QStringLiteral("The token endpoint %1 could not be reached%2: %3. Check the network, any "
                                       "firewall on the way, and Token_Url.")
                            .arg(host, throughProxy(fetch), fetch->failure));
    }
    TokenAnswer answer =
        readTokenAnswer(host, status, reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(),
                        reply->read(MaxAnswer), fetch->masks, fetch->startedMs, fetch->advice);
    if (!answer.token)
        return conclude(fetch, std::nullopt, answer.problem);
    answer.token->endpoint = fetch->endpoint;
    answer.token->proxy = OAuthProxy::describe(fetch->proxy);
    // Only a refresh grant renews: a token another grant brings along is not
    // made the account's.
    const QString previous = fetch->config.settings.RefreshToken;
    const bool renewal = fetch->advice.grant == OAuthGrantKind::RefreshToken && !answer.refreshToken.isEmpty()
        && answer.refreshToken != previous;
    m_cache = Cached{renewal ? keepRenewed(fetch->config, answer.refreshToken) : fetch->key, *answer.token,
                     fetch->startedMs};
    if (renewal)
        emit refreshTokenRenewed(previous, answer.refreshToken);
    conclude(fetch, answer.token, QString());
}

void OAuthTokenSource::conclude(Fetch *fetch, const std::optional<OAuthToken> &token, const QString &problem)
{
    const auto it = std::find_if(m_fetches.begin(), m_fetches.end(), [fetch](const auto &f) { return f.get() == fetch; });
    if (it == m_fetches.end())
        return;
    std::unique_ptr<Fetch> done = std::move(*it);
    m_fetches.erase(it);
    disconnect(done->reply, nullptr, this, nullptr);
    done->reply->abort();
    done->reply->deleteLater();
    if (done->probe) // this may be its own signal
        done->probe.release()->deleteLater();
    const QString source = token ? token->endpoint + throughProxy(done.get()) : QString();
    for (quint64 id : done->waiting)
        post({id, token ? std::optional(BearerToken{token->accessToken, source, false}) : std::nullopt, problem});
}

void OAuthTokenSource::post(Outcome outcome)
{
    m_outbox.push_back(std::move(outcome));
    m_deliver.start();
}

void OAuthTokenSource::deliver()
{
    // One at a time: a receiver may cancel, and what it cancels is not handed out.
    while (!m_outbox.empty()) {
        Outcome outcome = std::move(m_outbox.front());
        m_outbox.pop_front();
        if (outcome.token)
            emit tokenReady(outcome.id, *outcome.token);
        else
            emit tokenFailed(outcome.id, outcome.problem);
    }
}

} // namespace corvane
