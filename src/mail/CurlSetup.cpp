#include "mail/CurlSetup.h"

#include <QSysInfo>

#include <algorithm>

namespace corvane::mail {

namespace {
using std::chrono::milliseconds;

// libcurl's own limits lie this far behind the runner's, so that they only
// ever end a transfer the runner somehow failed to end.
constexpr milliseconds Backstop{5'000};

long wholeSeconds(milliseconds ms)
{
    return std::max<long>(1, static_cast<long>((ms.count() + 999) / 1000));
}
} // namespace

void applyCommonOptions(CURL *easy, const QByteArray &url, const ServerEndpoint &endpoint, long useSsl,
                        const MailOptions &options, const MailTimeouts &timeouts, milliseconds timeLeft,
                        char *errorBuffer)
{
    curl_easy_setopt(easy, CURLOPT_URL, url.constData()); // libcurl copies strings
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, ""); // never a proxy from the environment (ALL_PROXY)
    // A cancelled name lookup is left to finish on its own instead of being
    // waited for: a resolver that never answers must not hold up a close.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_USE_SSL, useSsl);
    const bool verify = endpoint.verifiesCertificate();
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    // Unset, libcurl keeps the system's store.
    const QByteArray caFile = options.caFile.toLocal8Bit();
    if (!caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.constData());

    const milliseconds whole = timeLeft.count() > 0 ? timeLeft : timeouts.wholeAttempt;
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>((whole + Backstop).count()));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, wholeSeconds(timeouts.serverReply + Backstop));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>((whole + Backstop).count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 0L);
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, wholeSeconds(timeouts.idleConnectionAge));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
}

CurlMultiRunner::Limits limitsFor(const MailTimeouts &timeouts, milliseconds timeLeft)
{
    CurlMultiRunner::Limits limits;
    limits.connect = timeouts.connect;
    limits.reply = timeouts.serverReply;
    limits.whole = timeLeft.count() > 0 ? timeLeft : timeouts.wholeAttempt;
    limits.reusedFirstReply = timeouts.reusedFirstReply;
    return limits;
}

QString localHostName(const QString &configured)
{
    const QString source = configured.isEmpty() ? QSysInfo::machineHostName() : configured;
    QString name;
    for (QChar c : source) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.'))
            name += c;
    }
    while (name.startsWith(QLatin1Char('.')) || name.startsWith(QLatin1Char('-')))
        name.remove(0, 1);
    while (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char('-')))
        name.chop(1);
    return name.isEmpty() ? QStringLiteral("localhost") : name;
}

bool isLocalOrPrivate(const QHostAddress &given)
{
    QHostAddress address = given;
    bool mapped = false;
    const quint32 v4 = given.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4); // ::ffff:10.1.2.3 is 10.1.2.3
    if (address.isNull())
        return false;
    if (address.isLoopback() || address.isLinkLocal() || address.isUniqueLocalUnicast())
        return true;
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    static const std::pair<const char *, int> privateNets[] = {{"10.0.0.0", 8}, {"172.16.0.0", 12}, {"192.168.0.0", 16}};
    for (const auto &[net, bits] : privateNets) {
        if (address.isInSubnet(QHostAddress(QLatin1String(net)), bits))
            return true;
    }
    return false;
}

QString durationText(milliseconds ms)
{
    const long seconds = wholeSeconds(ms);
    if (seconds % 60 == 0 && seconds >= 120)
        return QStringLiteral("%1 minutes").arg(seconds / 60);
    return seconds == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(seconds);
}

} // namespace corvane::mail
