#include "mail/SmtpConnection.h"

#include "mail/ClearTextLogin.h"
#include "mail/MailNetwork.h"

#include <QNetworkProxy>
#include <QSslConfiguration>

#include <algorithm>
#include <utility>

namespace corvane {

namespace {

// A command line, CR LF included, may have this many octets (RFC 5321 4.5.3.1.4).
constexpr qsizetype MaxCommandLine = 512;

} // namespace

SmtpConnection::SmtpConnection(QObject &context, Owner &owner)
    : m_context(context), m_owner(owner), m_socket(&context)
{
    // Always straight to the server, whatever proxy the environment names:
    // proxies refuse CONNECT to mail ports, and the private-network rule for a
    // password in the clear is about the server itself.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    QObject::connect(&m_socket, &QSslSocket::connected, &context, [this] { onConnected(); });
    QObject::connect(&m_socket, &QSslSocket::encrypted, &context, [this] { onEncrypted(); });
    QObject::connect(&m_socket, &QSslSocket::readyRead, &context, [this] { onReadyRead(); });
    QObject::connect(&m_socket, &QSslSocket::errorOccurred, &context,
                     [this](QAbstractSocket::SocketError error) { onSocketError(error); });
    QObject::connect(&m_socket, &QSslSocket::sslErrors, &context, [this](const QList<QSslError> &errors) {
        m_tlsErrors += errors;
        if (!m_account.endpoint.verifiesCertificate())
            m_socket.ignoreSslErrors();
    });
}

SmtpConnection::~SmtpConnection()
{
    m_socket.disconnect(&m_context);
    m_socket.abort();
}

void SmtpConnection::open(const SmtpAccount &account, const QByteArray &key)
{
    m_account = account;
    m_key = key;
    // A token is a password for this purpose: never in a status line.
    const CredentialMask mask = m_account.bearerToken.isEmpty()
        ? CredentialMask(m_account.userName, m_account.password)
        : CredentialMask(m_account.userName, QString::fromLatin1(m_account.bearerToken));
    m_wording = SmtpWording(m_account.endpoint.display, mask);
    m_owner.connectionStatus(m_wording.connecting());
    m_tokenChallenge = {};
    m_caps = {};
    m_tlsErrors.clear();
    m_mechanism.reset();
    m_mechanismName.clear();
    m_saslStart = SaslStart::None;
    m_initialResponse.clear();
    m_stopping = false;
    m_quitAnswered = false;
    m_in.clear();
    m_out.clear();
    m_owed.clear();
    m_unwritten = 0;

    const ServerEndpoint &endpoint = m_account.endpoint;
    // Certificates are always checked; for an opportunistic server what is
    // found is only kept (tlsErrors()), so plant relays set up years ago go on
    // working and a check can still say whether the certificate would pass.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_account.caCertificates.isEmpty()) // besides the system's, not instead
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + m_account.caCertificates);
    m_socket.setSslConfiguration(tls);
    m_socket.setPeerVerifyName(endpoint.host);
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort(); // the last one's TCP close, if still under way
    m_state = State::Connecting;
    m_owed.push_back({SmtpCommand::Greeting});
    m_addresses.clear();
    QHostAddress literal;
    if (!m_account.address.isNull())
        m_addresses = {m_account.address};
    else if (literal.setAddress(endpoint.host))
        m_addresses = {literal};
    if (!m_addresses.isEmpty())
        return connectToNext();
    m_lookup.start(&m_context, endpoint.host, [this](const QList<QHostAddress> &addresses, const QString &) {
        if (m_state != State::Connecting)
            return;
        m_addresses = addresses;
        if (m_addresses.isEmpty())
            end(m_wording.nameNotFound(m_account.endpoint.host), MailPhase::Connect);
        else
            connectToNext();
        m_owner.connectionEvent();
    });
}

// The addresses of a name in turn, as long as the connect limit lasts.
void SmtpConnection::connectToNext()
{
    const QHostAddress address = m_addresses.takeFirst();
    const ServerEndpoint &endpoint = m_account.endpoint;
    if (endpoint.tls == TlsMode::Implicit)
        m_socket.connectToHostEncrypted(address.toString(), endpoint.port, endpoint.host);
    else
        m_socket.connectToHost(address, endpoint.port);
}

void SmtpConnection::quit()
{
    m_owed.clear();
    m_out.clear();
    m_unwritten = 0;
    m_state = State::Quitting;
    command("QUIT", {SmtpCommand::Quit});
}

bool SmtpConnection::windDown()
{
    if (m_state == State::Closed || m_state == State::Quitting)
        return true;
    if (m_state == State::Connecting || m_state == State::Handshake || m_state == State::Upgrading
        || owes(SmtpCommand::Greeting) || owes(SmtpCommand::StartTls))
        return false;
    m_stopping = true;
    return true;
}

void SmtpConnection::close()
{
    const bool polite = m_quitAnswered;
    m_state = State::Closed;
    m_stopping = false;
    m_quitAnswered = false;
    m_owed.clear();
    m_out.clear();
    m_unwritten = 0;
    m_in.clear();
    m_lookup.abandon();
    // After QUIT's answer the server expects the close: TLS says so first
    // (close_notify), so neither side logs a connection lost.
    if (polite)
        m_socket.disconnectFromHost();
    else
        m_socket.abort();
}

// --- the wire ------------------------------------------------------------------------

void SmtpConnection::command(const QByteArray &line, SmtpOwed owed)
{
    m_out += line;
    m_out += "\r\n";
    m_owed.push_back(owed);
    ++m_unwritten;
}

void SmtpConnection::append(const QByteArray &bytes, SmtpOwed owed)
{
    m_out += bytes;
    m_owed.push_back(owed);
    ++m_unwritten;
}

bool SmtpConnection::flush()
{
    if (m_out.isEmpty() || m_state == State::Closed)
        return false;
    for (auto owed = m_owed.end() - qsizetype(m_unwritten); owed != m_owed.end(); ++owed) {
        if (owed->command == SmtpCommand::EndOfData)
            m_owner.finalSending(owed->message);
    }
    m_socket.write(m_out);
    m_socket.flush(); // now, not at the next turn of the event loop
    m_out.clear();
    m_unwritten = 0;
    return true;
}

bool SmtpConnection::owes(SmtpCommand command) const
{
    return std::any_of(m_owed.begin(), m_owed.end(), [command](const SmtpOwed &o) { return o.command == command; });
}

bool SmtpConnection::finalUnwritten(quint64 id) const
{
    for (auto owed = m_owed.end() - qsizetype(m_unwritten); owed != m_owed.end(); ++owed) {
        if (owed->command == SmtpCommand::EndOfData && owed->message == id)
            return true;
    }
    return false;
}

// --- socket events -------------------------------------------------------------------

void SmtpConnection::onConnected()
{
    // With TLS from the first byte the greeting comes once encrypted, within the connect limit.
    m_state = m_account.endpoint.tls == TlsMode::Implicit ? State::Handshake : State::Greeting;
    m_owner.connectionEvent();
}

void SmtpConnection::onEncrypted()
{
    if (m_state == State::Handshake) {
        m_state = State::Greeting;
    } else if (m_state == State::Upgrading) {
        m_owner.connectionStatus(m_wording.encryptedWithStartTls(m_socket.sessionProtocol()));
        m_owner.connectionStep(SmtpStep::Encrypted, {});
        sendEhlo(State::TlsEhlo);
    }
    m_owner.connectionEvent();
}

void SmtpConnection::onReadyRead()
{
    readReplies();
    m_owner.connectionEvent();
}

void SmtpConnection::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_state == State::Closed)
        return;
    if (m_state == State::Quitting) {
        m_owner.connectionEnded({});
        return m_owner.connectionEvent();
    }
    // Read what came before the close: a last reply may be in it.
    if (m_socket.bytesAvailable() > 0)
        readReplies();
    if (m_state == State::Closed)
        return m_owner.connectionEvent();
    if ((error == QAbstractSocket::ConnectionRefusedError || error == QAbstractSocket::NetworkError)
        && m_state == State::Connecting && !m_addresses.isEmpty()) {
        m_socket.abort();
        connectToNext();
        return m_owner.connectionEvent();
    }
    m_owner.connectionEnded(endingFor(error));
    m_owner.connectionEvent();
}

SmtpEnding SmtpConnection::endingFor(QAbstractSocket::SocketError error) const
{
    if (error == QAbstractSocket::HostNotFoundError)
        return {m_wording.nameNotFound(m_account.endpoint.host), MailPhase::Connect};
    if (error == QAbstractSocket::ConnectionRefusedError)
        return {m_wording.nothingAnswers(), MailPhase::Connect};
    const bool tlsError = error == QAbstractSocket::SslHandshakeFailedError
        || error == QAbstractSocket::SslInternalError || error == QAbstractSocket::SslInvalidUserDataError;
    if (m_state == State::Handshake || m_state == State::Upgrading || tlsError) {
        const QString detail = m_tlsErrors.isEmpty() ? m_socket.errorString() : m_tlsErrors.first().errorString();
        if (!m_tlsErrors.isEmpty() && m_account.endpoint.verifiesCertificate())
            return {m_wording.certificateNotTrusted(detail), MailPhase::Tls};
        // Without TLS from the first byte, TLS came through STARTTLS.
        const bool afterStartTls = m_account.endpoint.tls != TlsMode::Implicit;
        return {m_wording.handshakeFailed(detail, afterStartTls), MailPhase::Tls};
    }
    if (m_state == State::Connecting)
        return {m_wording.cannotConnect(m_socket.errorString()), MailPhase::Connect};
    if (m_state == State::Greeting)
        return {m_wording.noGreeting(), MailPhase::Connect};
    return {m_wording.closedUnexpectedly(), MailPhase::Setup};
}

void SmtpConnection::readReplies()
{
    m_in += m_socket.readAll();
    if (m_state == State::Handshake || m_state == State::Upgrading || m_state == State::Closed)
        return;
    SmtpReply reply;
    while (m_state != State::Closed && SmtpReply::take(m_in, &reply)) {
        if (!reply.received())
            return breakOff(m_wording.brokeProtocol(reply.failure));
        // Either a server talking out of turn or someone on the path
        // injecting text: nothing it says can be trusted from here.
        if (m_owed.size() <= m_unwritten)
            return breakOff(m_wording.answeredUnsent(reply));
        const SmtpOwed owed = m_owed.front();
        m_owed.pop_front();
        if (owed.command >= SmtpCommand::Mail) // a message's command
            m_owner.messageReply(owed, reply);
        else
            setupReply(owed, reply);
        if (owed.command == SmtpCommand::StartTls)
            return; // the rest, if any, came in the clear after the 220: thrown away there
    }
}

// --- the set-up ----------------------------------------------------------------------

void SmtpConnection::setupReply(const SmtpOwed &owed, const SmtpReply &reply)
{
    if (m_stopping && owed.command != SmtpCommand::Quit) {
        // Winding down: the set-up goes no further; a SASL exchange under way
        // is ended with "*" (RFC 4954), which the server answers with 501.
        if (owed.command == SmtpCommand::Auth && reply.code == 334)
            command("*", {SmtpCommand::Auth});
        return;
    }
    switch (owed.command) {
    case SmtpCommand::Greeting:
        m_owner.connectionStep(SmtpStep::Greeting, reply);
        if (!reply.ok())
            return end(m_wording.connectionRefused(reply), MailPhase::Connect, reply);
        m_owner.connectionStatus(m_wording.connected(m_socket.isEncrypted(), m_socket.sessionProtocol()));
        return sendEhlo(State::Ehlo);
    case SmtpCommand::Ehlo:
    case SmtpCommand::Helo:
        return ehloAnswered(owed.command, reply);
    case SmtpCommand::StartTls:
        m_owner.connectionStep(SmtpStep::StartTls, reply);
        if (!reply.ok())
            return end(m_wording.startTlsRefused(reply), MailPhase::Tls, reply);
        // Whatever came in the clear behind the 220 is not the server's word
        // once encrypted: it may be a man in the middle's. So is what EHLO said.
        m_in.clear();
        m_caps = {};
        m_state = State::Upgrading;
        m_socket.startClientEncryption();
        return;
    case SmtpCommand::Auth:
        return authAnswered(reply);
    case SmtpCommand::Quit:
        m_quitAnswered = true;
        m_owner.connectionStep(SmtpStep::Quit, reply);
        return m_owner.connectionEnded({});
    default:
        return;
    }
}

void SmtpConnection::ehloAnswered(SmtpCommand sent, const SmtpReply &reply)
{
    if (reply.ok()) {
        m_caps = sent == SmtpCommand::Ehlo ? SmtpCapabilities::fromEhlo(reply) : SmtpCapabilities{};
        // After reading them, so that capabilities() answers for this reply.
        m_owner.connectionStep(SmtpStep::Ehlo, reply);
        return afterCapabilities();
    }
    m_owner.connectionStep(SmtpStep::Ehlo, reply);
    if (sent == SmtpCommand::Ehlo && reply.code >= 500)
        return command("HELO " + mail::localHostName(m_account.heloName).toUtf8(), {SmtpCommand::Helo});
    end(m_wording.requestRefused(reply), MailPhase::Connect, reply);
}

void SmtpConnection::sendEhlo(State next)
{
    m_state = next;
    command("EHLO " + mail::localHostName(m_account.heloName).toUtf8(), {SmtpCommand::Ehlo});
}

void SmtpConnection::afterCapabilities()
{
    if (!m_socket.isEncrypted()) {
        if (m_caps.startTls) {
            // Alone on the wire: nothing may ride behind STARTTLS.
            m_state = State::StartTls;
            return command("STARTTLS", {SmtpCommand::StartTls});
        }
        if (m_account.endpoint.tls == TlsMode::Required)
            return end(m_wording.startTlsMissing(), MailPhase::Tls);
    }
    if (m_account.wantsLogin() && !m_caps.auth.isEmpty())
        return startAuth();
    m_state = State::Ready;
}

void SmtpConnection::startAuth()
{
    const bool encrypted = m_socket.isEncrypted();
    if (!encrypted && !mail::clearTextLoginAllowed(m_socket.peerAddress()))
        return end(m_wording.passwordInClear(), MailPhase::Auth);
    const SaslCredentials credentials{m_account.userName, m_account.password, m_account.bearerToken};
    m_mechanism = SaslMechanism::choose(m_caps.auth, credentials);
    if (!m_mechanism) {
        if (!m_account.bearerToken.isEmpty())
            return end(m_wording.noOAuthMechanism(m_caps.auth), MailPhase::Auth);
        return end(m_wording.noKnownMechanism(m_caps.auth), MailPhase::Auth);
    }
    m_mechanismName = QString::fromLatin1(m_mechanism->name());
    if (!encrypted)
        m_owner.connectionStatus(m_wording.clearTextWarning(m_mechanism->usesToken()));
    QByteArray line = "AUTH " + m_mechanism->name();
    m_saslStart = SaslStart::Challenges;
    if (const auto initial = m_mechanism->initialResponse()) {
        const QByteArray encoded = initial->isEmpty() ? QByteArray("=") : initial->toBase64();
        // A long token goes alone after the first 334: servers refuse longer
        // command lines, and a response line may have up to 12,288 octets.
        if (line.size() + 1 + encoded.size() + 2 <= MaxCommandLine) {
            line += ' ' + encoded;
            m_saslStart = SaslStart::OnAuthLine;
        } else {
            m_initialResponse = encoded;
            m_saslStart = SaslStart::AfterChallenge;
        }
    }
    m_state = State::Auth;
    command(line, {SmtpCommand::Auth});
}

void SmtpConnection::authAnswered(const SmtpReply &reply)
{
    if (reply.code == 334 && m_mechanism && !m_initialResponse.isEmpty()) // the server's empty challenge
        return command(std::exchange(m_initialResponse, {}), {SmtpCommand::Auth});
    if (reply.code == 334 && m_mechanism) {
        const QByteArray challenge = QByteArray::fromBase64(reply.lines.value(0).toLatin1());
        if (m_mechanism->usesToken())
            m_tokenChallenge = reply; // an error challenge: what the server says of the token
        return command(m_mechanism->respond(challenge).toBase64(), {SmtpCommand::Auth});
    }
    m_owner.connectionStep(SmtpStep::Auth, reply);
    if (!reply.ok()) {
        const bool token = m_mechanism && m_mechanism->usesToken();
        return end(m_wording.loginDenied(reply, token, m_tokenChallenge), MailPhase::Auth, reply);
    }
    m_owner.connectionStatus(m_wording.loggedIn(m_account.userName));
    m_state = State::Ready;
}

void SmtpConnection::end(const QString &reason, MailPhase phase, const SmtpReply &reply)
{
    m_owner.connectionEnded({reason, phase, reply, false, true});
}

void SmtpConnection::breakOff(const QString &reason)
{
    m_owner.connectionEnded({reason, MailPhase::Setup});
}

} // namespace corvane
