#include "mail/ServerEndpoint.h"

#include <QHostAddress>

namespace corvane {

namespace {

struct ProtocolNames {
    const char *plain;
    const char *secure;
    quint16 plainPort;
    quint16 securePort;
    quint16 requiredPort; // 0: no port implies STARTTLS
};

ProtocolNames namesFor(MailProtocol protocol)
{
    if (protocol == MailProtocol::Smtp)
        return {"smtp", "smtps", 25, 465, 587};
    return {"pop3", "pop3s", 110, 995, 0};
}

bool isHostNameChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.')
        || c == QLatin1Char('_');
}

ServerEndpoint invalid(const QString &problem)
{
    ServerEndpoint endpoint;
    endpoint.problem = problem;
    return endpoint;
}

} // namespace

ServerEndpoint ServerEndpoint::parse(const QString &text, MailProtocol protocol)
{
    const ProtocolNames names = namesFor(protocol);
    QString rest = text.trimmed();
    if (rest.isEmpty())
        return invalid(QStringLiteral("no server is set"));

    enum class Scheme { None, Plain, Secure } scheme = Scheme::None;
    const int schemeEnd = rest.indexOf(QLatin1String("://"));
    if (schemeEnd >= 0) {
        const QString name = rest.left(schemeEnd).toLower();
        if (name == QLatin1String(names.plain))
            scheme = Scheme::Plain;
        else if (name == QLatin1String(names.secure))
            scheme = Scheme::Secure;
        else
            return invalid(QStringLiteral("unknown scheme \"%1\" (use %2:// or %3://)")
                               .arg(name, QLatin1String(names.plain), QLatin1String(names.secure)));
        rest = rest.mid(schemeEnd + 3);
        if (rest.endsWith(QLatin1Char('/')))
            rest.chop(1);
    }
    if (rest.contains(QLatin1Char('@')))
        return invalid(QStringLiteral("user names and passwords belong in their own fields, not in the server"));
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('#')))
        return invalid(QStringLiteral("a server is a host name and an optional port, nothing more"));

    QString host;
    QString portText;
    bool ipv6 = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return invalid(QStringLiteral("missing ']' after the IPv6 address"));
        host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(QLatin1Char(':')))
                return invalid(QStringLiteral("unexpected text after the IPv6 address"));
            portText = after.mid(1);
            if (portText.isEmpty())
                return invalid(QStringLiteral("empty port"));
        }
        ipv6 = true;
    } else if (rest.count(QLatin1Char(':')) > 1) {
        host = rest; // a bare IPv6 address cannot carry a port
        ipv6 = true;
    } else {
        const int colon = rest.indexOf(QLatin1Char(':'));
        host = colon < 0 ? rest : rest.left(colon);
        if (colon >= 0) {
            portText = rest.mid(colon + 1);
            if (portText.isEmpty())
                return invalid(QStringLiteral("empty port"));
        }
    }

    if (host.isEmpty())
        return invalid(QStringLiteral("no host name"));
    if (ipv6) {
        QHostAddress address;
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return invalid(QStringLiteral("\"%1\" is not an IPv6 address").arg(host));
    } else {
        for (QChar c : host) {
            if (!isHostNameChar(c))
                return invalid(QStringLiteral("the host name holds a character that cannot be in one"));
        }
    }

    ServerEndpoint endpoint;
    endpoint.host = host;
    if (portText.isEmpty()) {
        endpoint.port = scheme == Scheme::Secure ? names.securePort : names.plainPort;
    } else {
        bool ok = false;
        const uint port = portText.toUInt(&ok, 10);
        bool digitsOnly = true;
        for (QChar c : portText)
            digitsOnly = digitsOnly && c.isDigit() && c.unicode() < 128;
        if (!ok || !digitsOnly || port == 0 || port > 65535)
            return invalid(QStringLiteral("\"%1\" is not a port number (1 to 65535)").arg(portText));
        endpoint.port = static_cast<quint16>(port);
    }

    switch (scheme) {
    case Scheme::Secure: endpoint.tls = TlsMode::Implicit; break;
    case Scheme::Plain: endpoint.tls = TlsMode::Required; break;
    case Scheme::None:
        if (endpoint.port == names.securePort)
            endpoint.tls = TlsMode::Implicit;
        else if (names.requiredPort != 0 && endpoint.port == names.requiredPort)
            endpoint.tls = TlsMode::Required;
        else
            endpoint.tls = TlsMode::Opportunistic;
        break;
    }

    const QString urlHost = ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    endpoint.display = urlHost + QLatin1Char(':') + QString::number(endpoint.port);
    const char *urlScheme = endpoint.tls == TlsMode::Implicit ? names.secure : names.plain;
    endpoint.url = QLatin1String(urlScheme) + QLatin1String("://") + endpoint.display + QLatin1Char('/');
    endpoint.valid = true;
    return endpoint;
}

} // namespace corvane
