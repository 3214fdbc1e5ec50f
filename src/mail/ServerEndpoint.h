#pragma once

#include <QString>

namespace corvane {

enum class MailProtocol { Smtp, Pop3 };

// How a connection is secured.
// Implicit: TLS from the first byte (smtps://, pop3s://, ports 465 and 995).
// Required: plain connect, then STARTTLS/STLS or fail (smtp://, pop3://, port 587).
// Opportunistic: STARTTLS when the server offers it, without certificate checks,
// so that plant relays configured years ago keep working.
enum class TlsMode { Opportunistic, Required, Implicit };

// A server setting as the operator typed it ("host", "host:port",
// "smtp://host[:port]", "smtps://host[:port]", "[v6]:port"), turned into the
// URL libcurl gets. Credentials and paths are refused: they never belong in a URL.
struct ServerEndpoint {
    bool valid = false;
    QString problem;    // why it is not valid, in plain words
    QString host;       // without brackets
    quint16 port = 0;
    TlsMode tls = TlsMode::Opportunistic;
    QString url;        // scheme://host:port/
    QString display;    // host:port, [v6]:port

    bool verifiesCertificate() const { return tls != TlsMode::Opportunistic; }

    static ServerEndpoint parse(const QString &text, MailProtocol protocol);
};

} // namespace corvane
