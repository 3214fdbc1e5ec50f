#include "mail/Pop3Client.h"

#include "mail/ClearTextLogin.h"
#include "mail/MailAddresses.h"
#include "mail/MailNetwork.h"

#include <QNetworkProxy>
#include <QSslConfiguration>

#include <algorithm>

namespace corvane {

namespace {

// RFC 2449 allows 512 octets; anything near this is not a POP3 server.
constexpr int MaxLine = 4096;

bool holdsLineBreak(const QByteArray &text)
{
    return text.contains('\r') || text.contains('\n') || text.contains('\0');
}

} // namespace

Pop3Client::Next Pop3Client::afterCapabilities(TlsMode mode, bool encrypted, bool stlsOffered,
                                               const QHostAddress &peer)
{
    if (encrypted)
        return Next::Login;
    if (stlsOffered)
        return Next::StartTls;
    if (mode != TlsMode::Opportunistic)
        return Next::NoTlsOffered;
    // Without STLS the password goes in the clear only where the rule allows.
    return mail::clearTextLoginAllowed(peer) ? Next::LoginInClear : Next::ClearToPublic;
}

Pop3Client::Pop3Client(MailTimeouts timeouts, QObject *parent)
    : QObject(parent), m_timeouts(timeouts), m_socket(this), m_deadline(this)
{
    // The address check below is about the server itself, never a proxy.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &Pop3Client::onTimeout);
    connect(&m_socket, &QSslSocket::connected, this, &Pop3Client::onConnected);
    connect(&m_socket, &QSslSocket::encrypted, this, &Pop3Client::onEncrypted);
    connect(&m_socket, &QSslSocket::readyRead, this, &Pop3Client::onReadyRead);
    connect(&m_socket, &QSslSocket::errorOccurred, this, &Pop3Client::onSocketError);
    connect(&m_socket, &QSslSocket::disconnected, this,
            [this] { onSocketError(QAbstractSocket::RemoteHostClosedError); });
    // Never ignored: Opportunistic does not verify at all, the others must.
    connect(&m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) { m_tlsErrors = errors; });
}

Pop3Client::~Pop3Client()
{
    // The socket's own destructor would report the close to a half-destroyed client.
    m_running = false;
    m_socket.disconnect(this);
    m_socket.abort();
}

void Pop3Client::start(const QString &server, const QString &userName, const QString &password,
                       const QList<QSslCertificate> &caCertificates)
{
    if (m_running)
        cancel();
    m_running = true;
    const quint64 generation = ++m_generation;
    m_phase = Phase::Connecting;
    m_user = userName.toUtf8();
    m_password = password.toUtf8();
    m_mask = CredentialMask(userName, password);
    m_caCertificates = caCertificates;
    m_tlsErrors.clear();
    m_in.clear();
    m_tcpConnected = false;
    m_inCapaList = false;
    m_stlsOffered = false;
    m_loggedIn = false;

    m_endpoint = ServerEndpoint::parse(server, MailProtocol::Pop3);
    QString early;
    if (!m_endpoint.valid)
        early = QStringLiteral("POP3 server setting \"%1\": %2").arg(mail::settingForDisplay(server), m_endpoint.problem);
    else if (userName.isEmpty())
        early = QStringLiteral("no user name is set for the POP3 login");
    else if (holdsLineBreak(m_user) || holdsLineBreak(m_password))
        early = QStringLiteral("the POP3 user name or password holds a line break, which POP3 cannot carry");
    if (!early.isEmpty()) {
        QTimer::singleShot(0, this, [this, generation, early] {
            if (m_running && m_generation == generation)
                fail(early);
        });
        return;
    }
    emit status(QStringLiteral("POP3 login at %1").arg(m_endpoint.display));
    if (!m_running || m_generation != generation)
        return; // cancelled or started anew from the status line's receiver

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!caCertificates.isEmpty())
        config.setCaCertificates(QSslConfiguration::systemCaCertificates() + caCertificates);
    config.setPeerVerifyMode(m_endpoint.verifiesCertificate() ? QSslSocket::VerifyPeer : QSslSocket::VerifyNone);
    m_socket.setSslConfiguration(config);
    arm(m_timeouts.connect);
    // Looked up on our own: a close must never wait for a name server.
    m_lookup.start(this, m_endpoint.host, [this, generation](const QList<QHostAddress> &addresses, const QString &) {
        if (!m_running || m_generation != generation)
            return;
        if (addresses.isEmpty())
            return fail(QStringLiteral("the server name %1 cannot be found").arg(m_endpoint.host));
        if (m_endpoint.tls == TlsMode::Implicit)
            m_socket.connectToHostEncrypted(addresses.first().toString(), m_endpoint.port, m_endpoint.host);
        else
            m_socket.connectToHost(addresses.first(), m_endpoint.port);
    });
}

void Pop3Client::cancel()
{
    if (m_running)
        fail(QStringLiteral("cancelled"));
}

void Pop3Client::onConnected()
{
    if (!m_running)
        return;
    m_tcpConnected = true;
    // Implicit TLS: the connect limit runs on until the handshake is done.
    if (m_endpoint.tls != TlsMode::Implicit) {
        m_phase = Phase::Greeting;
        arm(m_timeouts.serverReply);
    }
}

void Pop3Client::onEncrypted()
{
    if (!m_running)
        return;
    if (m_phase == Phase::Connecting) {
        m_phase = Phase::Greeting;
        arm(m_timeouts.serverReply);
    } else if (m_phase == Phase::Handshake) {
        // What the server said in the clear may have been forged on the way.
        m_stlsOffered = false;
        send("CAPA", Phase::Capa);
    }
}

void Pop3Client::onReadyRead()
{
    if (!m_running || m_phase == Phase::Connecting || m_phase == Phase::Handshake)
        return;
    m_in += m_socket.readAll();
    while (m_running) {
        const qsizetype end = m_in.indexOf('\n');
        if ((end < 0 && m_in.size() > MaxLine) || end > MaxLine) {
            fail(QStringLiteral("%1 sent a line longer than 4 KiB").arg(m_endpoint.display));
            return;
        }
        if (end < 0)
            return;
        QByteArray line = m_in.left(end);
        m_in.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        handleLine(line);
    }
}

void Pop3Client::handleLine(const QByteArray &line)
{
    if (m_inCapaList) {
        if (line == ".") {
            m_inCapaList = false;
            afterCapa();
        } else if (line.split(' ').first().toUpper() == "STLS") {
            m_stlsOffered = true;
        }
        return;
    }
    const bool ok = line.startsWith("+OK");
    if (!ok && !line.startsWith("-ERR")) {
        fail(QStringLiteral("%1 does not answer like a POP3 server (%2)").arg(m_endpoint.display, serverText(line)));
        return;
    }
    const QString text = serverText(line.mid(ok ? 3 : 4));
    switch (m_phase) {
    case Phase::Greeting:
        if (ok)
            send("CAPA", Phase::Capa);
        else
            fail(QStringLiteral("%1 refused the connection (%2)").arg(m_endpoint.display, text));
        break;
    case Phase::Capa:
        // A server without CAPA answers -ERR: it offers nothing, STLS included.
        if (ok)
            m_inCapaList = true;
        else
            afterCapa();
        break;
    case Phase::Stls:
        // Offered and then refused: no falling back to the clear.
        if (ok)
            startTls();
        else
            fail(QStringLiteral("%1 refused STLS (%2)").arg(m_endpoint.display, text));
        break;
    case Phase::User:
    case Phase::Pass:
        if (!ok)
            fail(QStringLiteral("login denied by the server (%1)").arg(text));
        else if (m_phase == Phase::User)
            send("PASS " + m_password, Phase::Pass);
        else
            send("NOOP", Phase::Noop);
        break;
    case Phase::Noop:
        if (!ok) {
            fail(QStringLiteral("%1 refused NOOP after the login (%2)").arg(m_endpoint.display, text));
            break;
        }
        m_loggedIn = true;
        // One login per send: QUIT is said but not waited for long.
        send("QUIT", Phase::Quit);
        arm(std::min(m_timeouts.politeClose, m_timeouts.serverReply));
        break;
    case Phase::Quit:
        finish({m_loggedIn, {}});
        break;
    case Phase::Connecting:
    case Phase::Handshake:
        break;
    }
}

void Pop3Client::afterCapa()
{
    switch (afterCapabilities(m_endpoint.tls, m_socket.isEncrypted(), m_stlsOffered, m_socket.peerAddress())) {
    case Next::StartTls:
        send("STLS", Phase::Stls);
        break;
    case Next::LoginInClear:
        emit status(QStringLiteral("Warning: the POP3 password went to the server unencrypted"));
        if (m_running)
            send("USER " + m_user, Phase::User);
        break;
    case Next::Login:
        send("USER " + m_user, Phase::User);
        break;
    case Next::NoTlsOffered:
        fail(QStringLiteral("%1 offers no encryption (STLS), which the server setting pop3:// requires")
                 .arg(m_endpoint.display));
        break;
    case Next::ClearToPublic:
        fail(QStringLiteral("%1 offers no encryption (STLS) and is not on this machine or a private "
                            "network, so the password was not sent; use port 995 or pop3s://")
                 .arg(m_endpoint.display));
        break;
    }
}

void Pop3Client::startTls()
{
    m_phase = Phase::Handshake;
    // Anything that came after "+OK" was sent in the clear before the server
    // could have seen a handshake: an attacker's, never the server's answer.
    m_in.clear();
    m_socket.readAll();
    m_tlsErrors.clear();
    m_socket.setPeerVerifyName(m_endpoint.host);
    arm(m_timeouts.serverReply);
    m_socket.startClientEncryption();
}

void Pop3Client::send(const QByteArray &command, Phase next)
{
    m_phase = next;
    m_socket.write(command + "\r\n");
    arm(m_timeouts.serverReply);
}

void Pop3Client::arm(std::chrono::milliseconds limit)
{
    m_deadline.start(limit);
}

void Pop3Client::onSocketError(QAbstractSocket::SocketError error)
{
    if (!m_running)
        return;
    // The last reply may come in the same read as the close.
    if (m_socket.bytesAvailable() > 0)
        onReadyRead();
    if (!m_running)
        return;
    const bool tlsFailed = m_phase == Phase::Handshake || (m_phase == Phase::Connecting && m_tcpConnected);
    if (m_phase == Phase::Quit) {
        finish({m_loggedIn, {}});
    } else if (tlsFailed) {
        const QString why = m_tlsErrors.isEmpty() ? m_socket.errorString() : m_tlsErrors.first().errorString();
        fail(QStringLiteral("TLS with %1 failed: %2").arg(m_endpoint.display, serverText(why.toUtf8())));
    } else if (m_phase == Phase::Connecting) {
        if (error == QAbstractSocket::HostNotFoundError)
            fail(QStringLiteral("the server name %1 cannot be found").arg(m_endpoint.host));
        else
            fail(QStringLiteral("cannot connect to %1").arg(m_endpoint.display));
    } else if (error == QAbstractSocket::RemoteHostClosedError) {
        fail(QStringLiteral("%1 closed the connection").arg(m_endpoint.display));
    } else {
        fail(QStringLiteral("%1: %2").arg(m_endpoint.display, serverText(m_socket.errorString().toUtf8())));
    }
}

void Pop3Client::onTimeout()
{
    if (!m_running)
        return;
    if (m_phase == Phase::Quit)
        finish({m_loggedIn, {}});
    else if (m_phase == Phase::Connecting)
        fail(QStringLiteral("no connection to %1 within %2")
                 .arg(m_endpoint.display, mail::durationText(m_timeouts.connect)));
    else
        fail(QStringLiteral("no answer from %1 within %2")
                 .arg(m_endpoint.display, mail::durationText(m_timeouts.serverReply)));
}

void Pop3Client::fail(const QString &reason)
{
    finish({false, reason});
}

void Pop3Client::finish(const Pop3Result &result)
{
    m_running = false;
    m_deadline.stop();
    m_lookup.abandon();
    m_socket.abort();
    m_in.clear();
    m_password.fill('\0');
    m_password.clear();
    m_mask = CredentialMask();
    emit finished(result);
}

QString Pop3Client::serverText(const QByteArray &text) const
{
    return mail::cleanServerText(QString::fromUtf8(text), m_mask);
}

} // namespace corvane
