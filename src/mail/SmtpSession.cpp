#include "mail/SmtpSession.h"

#include "mail/MailEncoding.h"
#include "mail/MailNetwork.h"
#include "mail/OAuthErrors.h"

#include <QSslConfiguration>

#include <algorithm>

namespace corvane {

namespace {

using Kind = MailOutcome::Kind;

const QString Cancelled = QStringLiteral("Sending cancelled: the program is closing");

QByteArray dotStuffed(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size() + 8);
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        end = end < 0 ? data.size() : end + 1;
        if (data.at(start) == '.')
            out += '.';
        out.append(data.constData() + start, end - start);
        start = end;
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out += "\r\n";
    return out;
}

bool isAscii(const QString &text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

} // namespace

QByteArray SmtpAccount::key() const
{
    QByteArray key = endpoint.url.toUtf8() + '\n' + QByteArray::number(int(endpoint.tls)) + '\n'
        + address.toString().toUtf8() + '\n' + heloName.toUtf8();
    if (wantsLogin())
        key += '\n' + userName.toUtf8() + '\n' + password.toUtf8() + '\n' + bearerToken;
    for (const QSslCertificate &ca : caCertificates)
        key += '\n' + ca.digest(QCryptographicHash::Sha256).toHex();
    return key;
}

SmtpSession::SmtpSession(MailTimeouts timeouts, bool reuseConnection, SmtpSessionListener &listener,
                         QObject *parent)
    : QObject(parent), m_timeouts(timeouts), m_reuse(reuseConnection), m_listener(listener), m_socket(this)
{
    for (QTimer *timer : {&m_stallTimer, &m_wholeTimer, &m_idleTimer})
        timer->setSingleShot(true);
    m_stallTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_stallTimer, &QTimer::timeout, this, &SmtpSession::onStall);
    connect(&m_wholeTimer, &QTimer::timeout, this, &SmtpSession::onWholeAttempt);
    connect(&m_idleTimer, &QTimer::timeout, this, &SmtpSession::onIdle);
    connect(&m_socket, &QSslSocket::connected, this, &SmtpSession::onConnected);
    connect(&m_socket, &QSslSocket::encrypted, this, &SmtpSession::onEncrypted);
    connect(&m_socket, &QSslSocket::readyRead, this, &SmtpSession::onReadyRead);
    connect(&m_socket, &QSslSocket::errorOccurred, this, &SmtpSession::onSocketError);
    connect(&m_socket, &QSslSocket::sslErrors, this, &SmtpSession::onSslErrors);
}

SmtpSession::~SmtpSession()
{
    m_socket.disconnect(this);
    m_socket.abort();
}

void SmtpSession::submit(const SmtpAccount &account, const SmtpMessage &message)
{
    Job job;
    job.account = account;
    job.key = account.key();
    job.message = message;
    m_jobs.push_back(std::move(job));
    // At once, so a connection is under way before the caller returns to the
    // event loop; nothing is reported from here but through the listener.
    if (m_reporting)
        schedulePump();
    else
        pump();
}

std::vector<quint64> SmtpSession::withdraw(int atMost, quint64 keep)
{
    std::vector<quint64> taken;
    while (int(taken.size()) < atMost && !m_jobs.empty()) {
        const Job &last = m_jobs.back();
        if (last.started || last.done || !last.held.empty() || last.message.id == keep)
            break;
        taken.push_back(last.message.id);
        m_jobs.pop_back();
    }
    return taken;
}

void SmtpSession::cancel()
{
    if (m_jobs.empty()) {
        abandon();
        return;
    }
    for (Job &job : m_jobs) {
        if (!job.done)
            fail(job, job.finalSent ? Kind::NoFinalReply : Kind::NotSent, MailPhase::Setup, Cancelled);
    }
    dropConnection();
    report();
}

void SmtpSession::abandon()
{
    dropConnection();
}

// --- driving -----------------------------------------------------------------

void SmtpSession::schedulePump()
{
    if (m_pumpPosted)
        return;
    m_pumpPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_pumpPosted = false;
            pump();
        },
        Qt::QueuedConnection);
}

void SmtpSession::pump()
{
    if (m_inPump) {
        m_pumpAgain = true;
        return;
    }
    m_inPump = true;
    do {
        m_pumpAgain = false;
        Job *next = nullptr;
        bool anyBegun = false;
        for (Job &job : m_jobs) {
            if (job.done)
                continue;
            if (job.begun) {
                anyBegun = true;
                continue;
            }
            next = &job;
            break;
        }
        if (m_phase == Phase::Closed) {
            if (next)
                connectFor(*next);
        } else if (m_phase == Phase::Ready) {
            if (!next) {
                if (!anyBegun) {
                    if (m_reuse)
                        m_idleTimer.start(m_timeouts.idleConnectionAge);
                    else
                        quit();
                }
            } else if (next->key != m_key || (!m_reuse && m_carried > 0)) {
                if (!anyBegun)
                    quit(); // a new account, or one message per session: start afresh once closed
            } else if (mayStartEnvelope()) {
                m_idleTimer.stop();
                startEnvelope(*next);
                m_pumpAgain = true;
            }
        }
        flush();
    } while (m_pumpAgain);
    m_inPump = false;
    report();
}

void SmtpSession::connectFor(Job &job)
{
    m_account = job.account;
    m_key = job.key;
    // A token is a password for this purpose: never in a status line.
    m_mask = m_account.bearerToken.isEmpty() ? CredentialMask(m_account.userName, m_account.password)
                                             : CredentialMask(m_account.userName,
                                                              QString::fromLatin1(m_account.bearerToken));
    m_tokenChallenge = {};
    m_caps = {};
    m_tlsErrors.clear();
    m_mechanism.reset();
    m_mechanismName.clear();
    m_startTlsUsed = m_loggedIn = m_greeted = false;
    m_carried = 0;
    m_in.clear();
    m_out.clear();
    m_expect.clear();
    m_unwritten = 0;
    job.started = true;
    if (job.deadline.isForever())
        job.deadline = QDeadlineTimer(m_timeouts.wholeAttempt);
    armWhole();
    status(job, QStringLiteral("Connecting to %1").arg(where()));

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
    m_phase = Phase::Connecting;
    m_expect.push_back({Expect::Greeting});
    m_addresses.clear();
    QHostAddress literal;
    if (!m_account.address.isNull())
        m_addresses = {m_account.address};
    else if (literal.setAddress(endpoint.host))
        m_addresses = {literal};
    if (!m_addresses.isEmpty()) {
        connectToNext();
    } else {
        m_lookup.start(this, endpoint.host, [this](const QList<QHostAddress> &addresses, const QString &) {
            if (m_phase != Phase::Connecting)
                return;
            m_addresses = addresses;
            if (m_addresses.isEmpty())
                return failSetup(QStringLiteral("The server name %1 cannot be found").arg(m_account.endpoint.host),
                                 MailPhase::Connect);
            connectToNext();
        });
    }
    m_stallTimer.start(m_timeouts.connect);
}

// The addresses of a name in turn, as long as the connect limit lasts.
void SmtpSession::connectToNext()
{
    const QHostAddress address = m_addresses.takeFirst();
    const ServerEndpoint &endpoint = m_account.endpoint;
    if (endpoint.tls == TlsMode::Implicit)
        m_socket.connectToHostEncrypted(address.toString(), endpoint.port, endpoint.host);
    else
        m_socket.connectToHost(address, endpoint.port);
}

bool SmtpSession::mayStartEnvelope() const
{
    // Without PIPELINING one message at a time; with it, the next envelope
    // goes out once every message before it has its final "." on the wire,
    // and with CHUNKING (whose envelope carries the body) only on a quiet line.
    const bool chunking = m_caps.pipelining && m_caps.chunking;
    for (const Job &job : m_jobs) {
        if (job.done || !job.begun)
            continue;
        if (!m_caps.pipelining || chunking || !(job.finalSent || job.finalQueued) || job.message.probeOnly)
            return false;
    }
    return true;
}

void SmtpSession::startEnvelope(Job &job)
{
    job.begun = job.started = true;
    if (job.deadline.isForever())
        job.deadline = QDeadlineTimer(m_timeouts.wholeAttempt);
    bool behind = false;
    for (const Job &other : m_jobs)
        behind = behind || (&other != &job && other.begun && !other.done);
    // On a connection that carried messages and then went quiet: a firewall
    // may have dropped it without a word, so its first reply is awaited less.
    job.onKeptConnection = m_carried > 0 && !behind;
    if (m_carried > 0 || behind) {
        status(job, QStringLiteral("Using the open connection to %1").arg(where()));
    }
    if (m_account.wantsLogin() && !m_loggedIn && m_carried == 0 && !behind && m_caps.auth.isEmpty())
        status(job, QStringLiteral("The server offers no login; sending without logging in"));
    progress(job, 0);
    armWhole();

    if (m_caps.sizeLimit > 0 && job.message.data.size() > m_caps.sizeLimit && !job.message.probeOnly) {
        fail(job, Kind::NotSent, MailPhase::Mail,
             QStringLiteral("The message is larger than the server at %1 takes (%2 bytes, at most %3): nothing was sent")
                 .arg(where())
                 .arg(job.message.data.size())
                 .arg(m_caps.sizeLimit));
        return;
    }
    QByteArray mail = "MAIL FROM:<" + job.message.sender.toUtf8() + '>';
    if (m_caps.sizeLimit >= 0 && !job.message.probeOnly)
        mail += " SIZE=" + QByteArray::number(job.message.data.size());
    bool international = !isAscii(job.message.sender);
    for (const QString &rcpt : job.message.recipients)
        international = international || !isAscii(rcpt);
    if (international && m_caps.smtpUtf8)
        mail += " SMTPUTF8";
    send(mail, {Expect::Mail, job.message.id});
    if (m_caps.pipelining) {
        for (int i = 0; i < job.message.recipients.size(); ++i)
            writeRcpt(job, i);
        if (!job.message.probeOnly)
            writeData(job);
    }
}

void SmtpSession::writeRcpt(Job &job, int index)
{
    send("RCPT TO:<" + job.message.recipients.at(index).toUtf8() + '>', {Expect::Rcpt, job.message.id, index});
}

void SmtpSession::writeData(Job &job)
{
    if (m_caps.pipelining && m_caps.chunking) {
        const QByteArray &data = job.message.data;
        m_out += "BDAT " + QByteArray::number(data.size()) + " LAST\r\n" + data;
        expect({Expect::EndOfData, job.message.id});
        job.finalQueued = true;
        progress(job, 100);
        return;
    }
    send("DATA", {Expect::Data, job.message.id});
}

void SmtpSession::writeBody(Job &job)
{
    m_out += dotStuffed(job.message.data);
    m_out += ".\r\n";
    expect({Expect::EndOfData, job.message.id});
    job.finalQueued = true;
    progress(job, 100);
}

void SmtpSession::send(const QByteArray &line, Expected expected)
{
    m_out += line + "\r\n";
    expect(expected);
}

void SmtpSession::expect(Expected expected)
{
    m_expect.push_back(expected);
    ++m_unwritten;
}

void SmtpSession::flush()
{
    // While replies are read, what they prompt is written once they are all
    // read: a reply further on then cannot answer a command not yet sent.
    if (m_out.isEmpty() || m_phase == Phase::Closed || m_readingReplies)
        return;
    for (const Job &job : m_jobs) {
        if (job.finalQueued)
            m_listener.sessionFinalSending(job.message.id);
    }
    m_socket.write(m_out);
    m_socket.flush(); // now, not at the next turn of the event loop
    m_out.clear();
    m_unwritten = 0;
    for (Job &job : m_jobs) {
        // From here on the server may take the message, answer or not.
        job.finalSent = job.finalSent || job.finalQueued;
        job.finalQueued = false;
    }
    armStall();
}

void SmtpSession::quit()
{
    m_idleTimer.stop();
    if (m_phase == Phase::Closed || m_phase == Phase::Quitting)
        return;
    m_phase = Phase::Quitting;
    m_expect.clear();
    m_out.clear();
    m_unwritten = 0;
    send("QUIT", {Expect::Quit});
    flush();
    m_stallTimer.start(std::min(m_timeouts.politeClose, m_timeouts.serverReply));
}

void SmtpSession::sendEhlo()
{
    const QByteArray name = mail::localHostName(m_account.heloName).toUtf8();
    send("EHLO " + name, {Expect::Ehlo});
    flush();
}

void SmtpSession::afterCapabilities()
{
    const bool encrypted = m_socket.isEncrypted();
    if (!encrypted) {
        if (m_caps.startTls) {
            // Alone on the wire: nothing may ride behind STARTTLS.
            send("STARTTLS", {Expect::StartTls});
            flush();
            return;
        }
        if (m_account.endpoint.tls == TlsMode::Required)
            return failSetup(QStringLiteral("The server at %1 does not offer encryption (STARTTLS), which this server "
                                            "setting requires")
                                 .arg(where()),
                             MailPhase::Tls);
    }
    if (m_account.wantsLogin() && !m_caps.auth.isEmpty())
        return startAuth();
    becomeReady();
}

void SmtpSession::startAuth()
{
    const bool encrypted = m_socket.isEncrypted();
    if (!encrypted && !mail::isLocalOrPrivate(m_socket.peerAddress()))
        return failSetup(QStringLiteral("Nothing was sent: the server at %1 offers no encryption (STARTTLS) and is not "
                                        "on this machine or a private network, so the password would cross the "
                                        "network in the clear. Use port 587 or 465, or write smtps:// in front of "
                                        "the server")
                             .arg(where()),
                         MailPhase::Auth);
    const SaslCredentials credentials{m_account.userName, m_account.password, m_account.bearerToken};
    m_mechanism = SaslMechanism::choose(m_caps.auth, credentials);
    if (!m_mechanism) {
        const QString offered = mail::cleanServerText(m_caps.auth.join(QLatin1Char(' ')), m_mask);
        if (!m_account.bearerToken.isEmpty())
            return failSetup(QStringLiteral("The server at %1 offers no OAuth sign-in (XOAUTH2 or OAUTHBEARER), only: %2")
                                 .arg(where(), offered),
                             MailPhase::Auth);
        return failSetup(QStringLiteral("Login denied by the server: it offers no sign-in this program knows (%1)")
                             .arg(offered),
                         MailPhase::Auth);
    }
    m_mechanismName = QString::fromLatin1(m_mechanism->name());
    if (!encrypted)
        status(m_mechanism->usesToken() ? QStringLiteral("Warning: the sign-in token goes to the server unencrypted")
                                        : QStringLiteral("Warning: the password goes to the server unencrypted"));
    QByteArray line = "AUTH " + m_mechanism->name();
    if (const auto initial = m_mechanism->initialResponse())
        line += ' ' + (initial->isEmpty() ? QByteArray("=") : initial->toBase64());
    send(line, {Expect::Auth});
    flush();
}

void SmtpSession::becomeReady()
{
    m_phase = Phase::Ready;
    m_stallTimer.stop();
    pump();
}

// --- socket events -------------------------------------------------------------

void SmtpSession::onConnected()
{
    if (m_account.endpoint.tls == TlsMode::Implicit) {
        m_phase = Phase::Handshake; // the greeting comes once encrypted, within the connect limit
        return;
    }
    m_phase = Phase::Setup;
    m_stallTimer.start(m_timeouts.serverReply);
}

void SmtpSession::onEncrypted()
{
    if (!m_startTlsUsed) {
        m_phase = Phase::Setup;
        m_stallTimer.start(m_timeouts.serverReply);
        return;
    }
    m_phase = Phase::Setup;
    status(QStringLiteral("Connection encrypted with STARTTLS (%1)").arg(tlsVersion()));
    m_listener.sessionStep(SmtpStep::Encrypted, {});
    sendEhlo();
}

void SmtpSession::onSslErrors(const QList<QSslError> &errors)
{
    m_tlsErrors += errors;
    if (!m_account.endpoint.verifiesCertificate())
        m_socket.ignoreSslErrors();
}

void SmtpSession::onReadyRead()
{
    m_in += m_socket.readAll();
    if (m_phase == Phase::Handshake || m_phase == Phase::Closed)
        return;
    SmtpReply reply;
    m_readingReplies = true;
    while (m_phase != Phase::Closed && SmtpReply::take(m_in, &reply)) {
        if (!reply.received()) {
            connectionLost(QStringLiteral("The server at %1 broke the protocol: %2")
                               .arg(where(), mail::cleanServerText(reply.failure, m_mask)),
                           MailPhase::Setup, false);
            break;
        }
        if (m_expect.size() <= m_unwritten) {
            // Either a server talking out of turn or someone on the path
            // injecting text: nothing it says can be trusted from here.
            connectionLost(QStringLiteral("The server at %1 broke the protocol: it answered a command that was not "
                                          "sent (%2)")
                               .arg(where(), codeAndText(reply)),
                           MailPhase::Setup, false);
            break;
        }
        const Expected expected = m_expect.front();
        m_expect.pop_front();
        handleReply(expected, reply);
        if (expected.what == Expect::StartTls)
            break; // the rest, if any, came in the clear after the 220: thrown away there
    }
    m_readingReplies = false;
    if (m_phase != Phase::Closed)
        armStall();
    flush();
    report();
}

void SmtpSession::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_phase == Phase::Closed)
        return;
    if (m_phase == Phase::Quitting) {
        closed();
        return;
    }
    // Read what came before the close: a last reply may be in it.
    if (m_socket.bytesAvailable() > 0)
        onReadyRead();
    if (m_phase == Phase::Closed)
        return;
    const QString host = m_account.endpoint.host;
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        return failSetup(QStringLiteral("The server name %1 cannot be found").arg(host), MailPhase::Connect);
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::NetworkError:
        if (m_phase == Phase::Connecting && !m_addresses.isEmpty()) {
            m_socket.abort();
            return connectToNext();
        }
        if (error == QAbstractSocket::NetworkError)
            break;
        return failSetup(QStringLiteral("Cannot connect to %1: nothing answers there").arg(where()), MailPhase::Connect);
    default:
        break;
    }
    if (m_phase == Phase::Handshake || error == QAbstractSocket::SslHandshakeFailedError
        || error == QAbstractSocket::SslInternalError || error == QAbstractSocket::SslInvalidUserDataError) {
        const QString detail = m_tlsErrors.isEmpty() ? m_socket.errorString() : m_tlsErrors.first().errorString();
        if (!m_tlsErrors.isEmpty() && m_account.endpoint.verifiesCertificate())
            return failSetup(QStringLiteral("The certificate of %1 is not trusted: %2").arg(where(), detail),
                             MailPhase::Tls);
        if (m_startTlsUsed)
            return failSetup(QStringLiteral("The TLS handshake with %1 failed: %2; a server that offers encryption "
                                            "gets nothing without it")
                                 .arg(where(), detail),
                             MailPhase::Tls);
        return failSetup(QStringLiteral("The TLS handshake with %1 failed: %2").arg(where(), detail), MailPhase::Tls);
    }
    if (m_phase == Phase::Connecting)
        return failSetup(QStringLiteral("Cannot connect to %1: %2").arg(where(), m_socket.errorString()),
                         MailPhase::Connect);
    if (!m_greeted)
        return connectionLost(QStringLiteral("The server at %1 closed the connection without a greeting").arg(where()),
                              MailPhase::Connect, false);
    connectionLost(QStringLiteral("The server closed the connection unexpectedly"), MailPhase::Setup, false);
}

void SmtpSession::onStall()
{
    switch (m_phase) {
    case Phase::Closed:
        return;
    case Phase::Quitting:
        closed();
        pump();
        return;
    case Phase::Handshake:
        if (m_startTlsUsed)
            break;
        [[fallthrough]];
    case Phase::Connecting:
        return failSetup(QStringLiteral("No connection to %1 within %2").arg(where(), mail::durationText(m_timeouts.connect)),
                         MailPhase::Connect);
    default:
        break;
    }
    const Job *first = head();
    const bool silentKept = first && first->onKeptConnection && !first->answered && !first->retried;
    connectionLost(QStringLiteral("No answer from the server within %1").arg(mail::durationText(m_timeouts.serverReply)),
                   m_phase == Phase::Ready ? MailPhase::Setup : MailPhase::Connect, silentKept);
}

void SmtpSession::onWholeAttempt()
{
    Job *first = head();
    if (!first || first->deadline.remainingTime() > 0) {
        armWhole();
        return;
    }
    fail(*first, first->finalSent ? Kind::NoFinalReply : Kind::NotSent, MailPhase::Setup,
         QStringLiteral("The send did not finish within %1").arg(mail::durationText(m_timeouts.wholeAttempt)));
    dropConnection();
    report();
    schedulePump();
}

void SmtpSession::onIdle()
{
    if (m_phase == Phase::Ready && !head())
        quit();
}

// --- replies ---------------------------------------------------------------------

void SmtpSession::handleReply(const Expected &expected, const SmtpReply &reply)
{
    switch (expected.what) {
    case Expect::Greeting:
    case Expect::Ehlo:
    case Expect::Helo:
    case Expect::StartTls:
        return handleSetupReply(expected, reply);
    case Expect::Auth:
        return handleAuthReply(reply);
    case Expect::Quit:
        m_listener.sessionStep(SmtpStep::Quit, reply);
        closed();
        schedulePump();
        return;
    default:
        return handleMessageReply(expected, reply);
    }
}

void SmtpSession::handleSetupReply(const Expected &expected, const SmtpReply &reply)
{
    switch (expected.what) {
    case Expect::Greeting:
        m_listener.sessionStep(SmtpStep::Greeting, reply);
        if (!reply.ok())
            return failSetup(QStringLiteral("The server refused the connection (%1)").arg(codeAndText(reply)),
                             MailPhase::Connect, reply);
        m_greeted = true;
        if (m_socket.isEncrypted())
            status(QStringLiteral("Connected to %1 with TLS (%2)").arg(where(), tlsVersion()));
        else
            status(QStringLiteral("Connected to %1 (not encrypted)").arg(where()));
        return sendEhlo();
    case Expect::Ehlo:
    case Expect::Helo:
        if (reply.ok()) {
            m_caps = {};
            if (expected.what == Expect::Ehlo)
                parseEhlo(reply);
            // After parsing, so that capabilities() answers for this reply.
            m_listener.sessionStep(SmtpStep::Ehlo, reply);
            return afterCapabilities();
        }
        m_listener.sessionStep(SmtpStep::Ehlo, reply);
        if (expected.what == Expect::Ehlo && reply.code >= 500) {
            send("HELO " + mail::localHostName(m_account.heloName).toUtf8(), {Expect::Helo});
            return flush();
        }
        return failSetup(QStringLiteral("The server refused the request (%1)").arg(codeAndText(reply)),
                         MailPhase::Connect, reply);
    case Expect::StartTls:
        m_listener.sessionStep(SmtpStep::StartTls, reply);
        if (!reply.ok())
            return failSetup(QStringLiteral("The server refused to start TLS (%1)").arg(codeAndText(reply)),
                             MailPhase::Tls, reply);
        // Whatever came in the clear behind the 220 is not the server's word
        // once encrypted: it may be a man in the middle's. So is what EHLO said.
        m_in.clear();
        m_caps = {};
        m_startTlsUsed = true;
        m_phase = Phase::Handshake;
        m_socket.startClientEncryption();
        m_stallTimer.start(m_timeouts.serverReply);
        return;
    default:
        return;
    }
}

void SmtpSession::handleAuthReply(const SmtpReply &reply)
{
    if (reply.code == 334 && m_mechanism) {
        const QByteArray challenge = QByteArray::fromBase64(reply.lines.value(0).toLatin1());
        if (m_mechanism->usesToken())
            m_tokenChallenge = reply; // an error challenge: what the server says of the token
        // Never through send(): nothing of these lines may be kept anywhere.
        m_out += m_mechanism->respond(challenge).toBase64() + "\r\n";
        expect({Expect::Auth});
        return;
    }
    m_listener.sessionStep(SmtpStep::Auth, reply);
    if (!reply.ok()) {
        QString explanation = QStringLiteral("Login denied by the server (%1)").arg(codeAndText(reply));
        if (m_mechanism && m_mechanism->usesToken()) {
            // The provider's own words on a refused token name what to set up.
            for (const SmtpReply &said : {m_tokenChallenge, reply}) {
                const QString advice = said.received() ? describeOAuthSmtpRefusal(said) : QString();
                if (!advice.isEmpty())
                    explanation += QLatin1Char(' ') + mail::replaceControls(m_mask.apply(advice));
            }
        }
        return failSetup(explanation, MailPhase::Auth, reply);
    }
    m_loggedIn = true;
    status(QStringLiteral("Logged in as %1").arg(mail::replaceControls(m_account.userName)));
    becomeReady();
}

void SmtpSession::handleMessageReply(const Expected &expected, const SmtpReply &reply)
{
    Job *job = find(expected.job);
    if (!job || job->done)
        return; // the rest of a refused message's group
    job->answered = true;
    const int recipients = int(job->message.recipients.size());
    switch (expected.what) {
    case Expect::Mail:
        m_listener.sessionStep(SmtpStep::Mail, reply);
        if (!reply.ok())
            return refuse(*job, MailPhase::Mail, reply,
                          reply.code == 530
                              ? QStringLiteral("The server takes mail only after a login (%1)").arg(codeAndText(reply))
                              : QStringLiteral("The server refused the sender address %1 (%2)")
                                    .arg(job->message.sender, codeAndText(reply)));
        if (!m_caps.pipelining && recipients > 0)
            writeRcpt(*job, 0);
        // A probe without recipients ends here; nothing else would be written
        // and it would wait for the whole-attempt limit.
        if (recipients == 0 && job->message.probeOnly)
            send("RSET", {Expect::Rset, job->message.id});
        return;
    case Expect::Rcpt:
        m_listener.sessionStep(SmtpStep::Rcpt, reply);
        ++job->rcptAnswered;
        if (reply.ok()) {
            ++job->outcome.acceptedRecipients;
        } else {
            const QString address = job->message.recipients.value(expected.rcpt);
            job->outcome.refusedRecipients.append(address);
            status(*job, QStringLiteral("Recipient refused by the server: %1 (%2 %3)")
                             .arg(address)
                             .arg(reply.code)
                             .arg(cleanText(reply)));
        }
        if (job->rcptAnswered < recipients) {
            if (!m_caps.pipelining)
                writeRcpt(*job, job->rcptAnswered);
            return;
        }
        if (job->outcome.acceptedRecipients == 0)
            return refuse(*job, MailPhase::Rcpt, reply, QStringLiteral("The server refused every recipient"));
        if (job->message.probeOnly)
            return send("RSET", {Expect::Rset, job->message.id});
        if (!m_caps.pipelining)
            writeData(*job);
        return;
    case Expect::Data:
        if (reply.code != 354)
            return refuse(*job, MailPhase::Data, reply,
                          QStringLiteral("The server refused the message (%1)").arg(codeAndText(reply)));
        writeBody(*job);
        pump(); // the next message's envelope rides with this body
        return;
    case Expect::EndOfData:
        status(*job, QStringLiteral("Server reply: %1 %2").arg(reply.code).arg(cleanText(reply)));
        if (!reply.ok())
            return refuse(*job, MailPhase::EndOfData, reply,
                          QStringLiteral("The server refused the message (%1)").arg(codeAndText(reply)));
        break;
    case Expect::Rset:
        m_listener.sessionStep(SmtpStep::Reset, reply);
        break;
    default:
        return;
    }
    if (!job->message.probeOnly)
        m_listener.sessionAccepted(job->message.id);
    job->outcome.kind = Kind::Accepted;
    job->outcome.phase = MailPhase::EndOfData;
    job->outcome.code = reply.code;
    job->outcome.enhancedCode = reply.enhanced;
    job->outcome.reply = cleanText(reply);
    if (!job->message.probeOnly) {
        const int accepted = job->outcome.acceptedRecipients;
        status(*job, QStringLiteral("Message accepted by the server for %1 of %2 recipient%3")
                         .arg(accepted)
                         .arg(recipients)
                         .arg(recipients == 1 ? QString() : QStringLiteral("s")));
    }
    ++m_carried;
    finish(*job);
    schedulePump();
}

void SmtpSession::parseEhlo(const SmtpReply &reply)
{
    m_caps.esmtp = true;
    for (qsizetype i = 1; i < reply.lines.size(); ++i) {
        const QString line = reply.lines.at(i);
        m_caps.lines.append(line);
        const QStringList words = line.toUpper().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const QString &keyword = words.first();
        if (keyword == QLatin1String("STARTTLS"))
            m_caps.startTls = true;
        else if (keyword == QLatin1String("PIPELINING"))
            m_caps.pipelining = true;
        else if (keyword == QLatin1String("CHUNKING"))
            m_caps.chunking = true;
        else if (keyword == QLatin1String("ENHANCEDSTATUSCODES"))
            m_caps.enhancedCodes = true;
        else if (keyword == QLatin1String("SMTPUTF8"))
            m_caps.smtpUtf8 = true;
        else if (keyword == QLatin1String("SIZE"))
            m_caps.sizeLimit = words.size() > 1 ? std::max<qint64>(0, words.at(1).toLongLong()) : 0;
        else if (keyword == QLatin1String("AUTH") || keyword.startsWith(QLatin1String("AUTH=")))
            for (const QString &word : words.mid(1) + QStringList{keyword.mid(5)})
                if (!word.isEmpty() && !m_caps.auth.contains(word))
                    m_caps.auth.append(word);
    }
}

// --- outcomes ----------------------------------------------------------------------

void SmtpSession::refuse(Job &job, MailPhase phase, const SmtpReply &reply, const QString &explanation)
{
    fail(job, Kind::Refused, phase, explanation, reply);
    // A server that refused something is in a state we do not follow: the
    // messages behind this one go out on a new connection.
    dropConnection();
    schedulePump();
}

void SmtpSession::fail(Job &job, Kind kind, MailPhase phase, const QString &explanation, const SmtpReply &reply)
{
    job.outcome.kind = kind;
    job.outcome.phase = phase;
    job.outcome.code = reply.code;
    job.outcome.enhancedCode = reply.enhanced;
    job.outcome.reply = reply.received() ? cleanText(reply) : QString();
    job.outcome.explanation = explanation;
    status(job, explanation);
    job.failed = true;
    finish(job);
}

void SmtpSession::finish(Job &job)
{
    job.done = true;
    job.begun = job.started = true;
    armWhole();
}

void SmtpSession::report()
{
    if (m_reporting)
        return;
    m_reporting = true;
    while (!m_jobs.empty()) {
        Job &front = m_jobs.front();
        for (const Held &held : front.held) {
            if (held.kind == Held::Status)
                m_listener.sessionStatus(front.message.id, held.line);
            else
                m_listener.sessionProgress(front.message.id, held.percent);
        }
        front.held.clear();
        if (!front.done)
            break;
        const quint64 id = front.message.id;
        const MailOutcome outcome = front.outcome;
        m_jobs.pop_front();
        m_listener.sessionFinished(id, outcome);
    }
    m_reporting = false;
}

void SmtpSession::connectionLost(const QString &reason, MailPhase phase, bool silent)
{
    closeSocket();
    bool first = true;
    for (Job &job : m_jobs) {
        if (job.done || !job.started)
            continue;
        const bool behind = !first;
        first = false;
        if (job.finalSent) {
            fail(job, Kind::NoFinalReply, MailPhase::EndOfData,
                 silent || reason.startsWith(QLatin1String("No answer"))
                     ? reason
                     : QStringLiteral("The server closed the connection before confirming the message"));
        } else if (job.begun && !job.answered && behind) {
            requeue(job); // it rode behind another message: nothing of it was taken
        } else if (job.begun && !job.answered && job.onKeptConnection && !job.retried) {
            // The kept connection died while idle; the server answered nothing
            // of this message, so a new connection cannot duplicate it.
            job.retried = true;
            status(job, silent ? QStringLiteral("The open connection to %1 did not answer; connecting again").arg(where())
                               : QStringLiteral("The server had closed the open connection; connecting again"));
            requeue(job);
        } else {
            fail(job, Kind::NotSent, job.begun ? MailPhase::Mail : phase, reason);
        }
    }
    report();
    schedulePump();
}

void SmtpSession::failSetup(const QString &reason, MailPhase phase, const SmtpReply &reply)
{
    closeSocket();
    if (Job *job = head(); job && job->started)
        fail(*job, reply.received() ? Kind::Refused : Kind::NotSent, phase, reason, reply);
    requeueBegun();
    report();
    schedulePump();
}

void SmtpSession::dropConnection()
{
    closeSocket();
    requeueBegun();
}

void SmtpSession::requeueBegun()
{
    for (Job &job : m_jobs) {
        if (job.done || !job.started)
            continue;
        if (job.finalSent)
            fail(job, Kind::NoFinalReply, MailPhase::EndOfData,
                 QStringLiteral("The connection was given up before the server confirmed the message"));
        else
            requeue(job);
    }
}

void SmtpSession::requeue(Job &job)
{
    job.started = job.begun = job.answered = job.onKeptConnection = job.finalQueued = false;
    job.rcptAnswered = 0;
    job.outcome = {};
}

void SmtpSession::closeSocket()
{
    m_phase = Phase::Closed;
    m_stallTimer.stop();
    m_idleTimer.stop();
    m_expect.clear();
    m_out.clear();
    m_unwritten = 0;
    m_in.clear();
    m_lookup.abandon();
    m_socket.abort();
}

void SmtpSession::closed()
{
    closeSocket();
    if (!m_jobs.empty())
        schedulePump();
}

// --- small helpers -------------------------------------------------------------------

SmtpSession::Job *SmtpSession::head()
{
    for (Job &job : m_jobs) {
        if (!job.done)
            return &job;
    }
    return nullptr;
}

SmtpSession::Job *SmtpSession::find(quint64 id)
{
    for (Job &job : m_jobs) {
        if (job.message.id == id)
            return &job;
    }
    return nullptr;
}

void SmtpSession::status(Job &job, const QString &line)
{
    if (&job == &m_jobs.front() && job.held.empty() && !m_reporting)
        m_listener.sessionStatus(job.message.id, line);
    else
        job.held.push_back({Held::Status, line, 0});
}

void SmtpSession::status(const QString &line)
{
    if (Job *job = head())
        status(*job, line);
}

void SmtpSession::progress(Job &job, int percent)
{
    // A message that moves to a new connection starts again at 0: report
    // only what goes forward.
    if (percent <= job.lastProgress)
        return;
    job.lastProgress = percent;
    if (&job == &m_jobs.front() && job.held.empty() && !m_reporting)
        m_listener.sessionProgress(job.message.id, percent);
    else
        job.held.push_back({Held::Progress, {}, percent});
}

void SmtpSession::armStall()
{
    if (m_phase == Phase::Closed || m_phase == Phase::Connecting || m_phase == Phase::Handshake
        || m_phase == Phase::Quitting)
        return;
    if (m_expect.empty()) {
        m_stallTimer.stop();
        return;
    }
    std::chrono::milliseconds limit = m_timeouts.serverReply;
    const Job *first = head();
    if (first && first->begun && first->onKeptConnection && !first->answered && !first->retried)
        limit = std::min(limit, m_timeouts.reusedFirstReply);
    m_stallTimer.start(limit);
}

void SmtpSession::armWhole()
{
    const Job *first = head();
    if (!first || !first->started || first->deadline.isForever()) {
        m_wholeTimer.stop();
        return;
    }
    m_wholeTimer.start(std::max<qint64>(0, first->deadline.remainingTime()));
}

QString SmtpSession::cleanText(const SmtpReply &reply) const
{
    return mail::cleanServerText(reply.lines.join(QLatin1Char(' ')), m_mask);
}

QString SmtpSession::codeAndText(const SmtpReply &reply) const
{
    return QStringLiteral("%1 %2").arg(reply.code).arg(cleanText(reply)).trimmed();
}

QString SmtpSession::tlsVersion() const
{
    switch (m_socket.sessionProtocol()) {
    case QSsl::TlsV1_2: return QStringLiteral("TLSv1.2");
    case QSsl::TlsV1_3: return QStringLiteral("TLSv1.3");
    default: return QStringLiteral("TLS");
    }
}

} // namespace corvane
