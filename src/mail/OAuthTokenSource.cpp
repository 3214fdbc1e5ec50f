#include "mail/OAuthTokenSource.h"

#include "mail/OAuthErrors.h"
#include "mail/OAuthGrant.h"

#include <QJsonDocument>
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

QString masked(const std::vector<CredentialMask> &masks, const QString &text)
{
    QString out = text;
    for (const CredentialMask &mask : masks)
        out = mask.apply(out);
    return mail::cleanServerText(out);
}

// The claims of a JWT access token, read without checking it: for information only.
QJsonObject claimsOf(const QByteArray &token)
{
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3)
        return QJsonObject();
    return QJsonDocument::fromJson(QByteArray::fromBase64(parts[1], QByteArray::Base64UrlEncoding)).object();
}

qint64 secondsOf(const QJsonValue &value)
{
    // Some endpoints send it as a string.
    return value.isString() ? value.toString().toLongLong() : value.toInteger();
}

} // namespace

OAuthTokenSource::OAuthTokenSource(std::chrono::milliseconds timeout, std::function<qint64()> nowMs, QObject *parent)
    : TokenProvider(parent), m_timeout(timeout), m_nowMs(std::move(nowMs))
{
    qRegisterMetaType<OAuthToken>();
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

quint64 OAuthTokenSource::request(const OAuthConfig &config)
{
    const quint64 id = ++m_nextId;
    const QByteArray key = config.key();
    if (m_cache && m_cache->key == key && fresh(*m_cache)) {
        OAuthToken token = m_cache->token;
        token.fromCache = true;
        post({id, token, QString()});
        return id;
    }
    const auto joined = std::find_if(m_fetches.begin(), m_fetches.end(), [&](const auto &f) { return f->key == key; });
    if (joined != m_fetches.end())
        (*joined)->waiting.push_back(id);
    else
        start(config, id);
    return id;
}

void OAuthTokenSource::invalidate()
{
    m_cache.reset();
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

quint64 OAuthTokenSource::requestToken(const QByteArray &signIn)
{
    const auto known = std::find_if(m_signIns.begin(), m_signIns.end(),
                                    [&](const auto &entry) { return entry.first == signIn; });
    if (known == m_signIns.end()) {
        const quint64 id = ++m_nextId;
        post({id, std::nullopt,
              QStringLiteral("The OAuth settings this message was sent with are no longer known. "
                             "It is tried again with the current ones.")});
        return id;
    }
    OAuthConfig config = known->second;
    if (!config.caFile.isEmpty() && config.caCertificates.isEmpty())
        config.caCertificates = m_authorities.load(config.caFile);
    return request(config);
}

void OAuthTokenSource::invalidate(const QByteArray &signIn)
{
    (void)signIn; // one token is kept, whichever sign-in it belongs to
    invalidate();
}

void OAuthTokenSource::cancel()
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

void OAuthTokenSource::start(const OAuthConfig &config, quint64 id)
{
    const qint64 now = m_nowMs();
    OAuthGrant grant = OAuthGrant::build(config, now);
    if (!grant.ok()) {
        post({id, std::nullopt, grant.error});
        return;
    }
    auto fetch = std::make_unique<Fetch>();
    Fetch *f = fetch.get();
    f->key = config.key();
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
    if (!config.caCertificates.isEmpty()) // besides the system's, not instead
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + config.caCertificates);
    request.setSslConfiguration(tls);

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
             QStringLiteral("No answer from the token endpoint %1 within %2 seconds. Check the network, any proxy "
                            "or firewall on the way, and Token_Url.")
                 .arg(fetch->reply->url().host())
                 .arg(double(m_timeout.count()) / 1000.0));
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
        return conclude(fetch, std::nullopt,
                        QStringLiteral("The token endpoint %1 could not be reached: %2. Check the network, any "
                                       "firewall on the way, and Token_Url.")
                            .arg(host, masked(fetch->masks, reply->errorString())));
    }
    const QByteArray body = reply->read(MaxAnswer);
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    if (const QString error = masked(fetch->masks, json.value(QLatin1String("error")).toString()); !error.isEmpty()) {
        const QString description = masked(fetch->masks, json.value(QLatin1String("error_description")).toString());
        const QString said = description.isEmpty() ? error : error + QStringLiteral(": ") + description;
        return conclude(fetch, std::nullopt,
                        QStringLiteral("The token endpoint %1 refused the request (HTTP %2): %3%4%5")
                            .arg(host)
                            .arg(status)
                            .arg(said, said.endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral(". "),
                                 oauthTokenErrorAdvice(error, description)));
    }
    if (status != 200)
        return conclude(fetch, std::nullopt,
                        QStringLiteral("The token endpoint %1 answered HTTP %2 %3. %4")
                            .arg(host)
                            .arg(status)
                            .arg(masked(fetch->masks,
                                        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()),
                                 status >= 500 ? QStringLiteral("The provider has a problem of its own; the next "
                                                                "send tries again.")
                                               : QStringLiteral("Check Token_Url and Tenant.")));
    OAuthToken token;
    token.accessToken = json.value(QLatin1String("access_token")).toString().toUtf8();
    if (token.accessToken.isEmpty())
        return conclude(fetch, std::nullopt,
                        QStringLiteral("The answer of the token endpoint %1 holds no access token. Check Token_Url: "
                                       "it must be the provider's token endpoint.")
                            .arg(host));
    token.expiresIn = std::max<qint64>(0, secondsOf(json.value(QLatin1String("expires_in"))));
    token.expiresAtMs = token.expiresIn > 0 ? fetch->startedMs + token.expiresIn * 1000 : 0;
    token.httpStatus = status;
    token.endpoint = fetch->endpoint;
    token.claimsForInfo = claimsOf(token.accessToken);
    m_cache = Cached{fetch->key, token, fetch->startedMs};
    conclude(fetch, token, QString());
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
    for (quint64 id : done->waiting)
        post({id, token, problem});
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
        if (outcome.token) {
            emit ready(outcome.id, *outcome.token);
            emit tokenReady(outcome.id, BearerToken{outcome.token->accessToken, outcome.token->endpoint,
                                                    outcome.token->fromCache});
        } else {
            emit failed(outcome.id, outcome.problem);
            emit tokenFailed(outcome.id, outcome.problem);
        }
    }
}

} // namespace corvane
