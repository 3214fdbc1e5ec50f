#include "mail/MailNetwork.h"

#include <QSysInfo>

#include <algorithm>
#include <utility>

namespace corvane::mail {

using std::chrono::milliseconds;

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
    const long seconds = std::max<long>(1, static_cast<long>((ms.count() + 999) / 1000));
    if (seconds % 60 == 0 && seconds >= 120)
        return QStringLiteral("%1 minutes").arg(seconds / 60);
    return seconds == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(seconds);
}

} // namespace corvane::mail
