#include "check/SmtpProbe.h"

#include <QEventLoop>
#include <QSslCipher>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>

namespace corvane {

const SmtpProbe::Step *SmtpProbe::Trace::find(SmtpStep step, std::size_t from) const
{
    for (std::size_t i = from; i < steps.size(); ++i) {
        if (steps[i].step == step)
            return &steps[i];
    }
    return nullptr;
}

std::size_t SmtpProbe::Trace::afterStartTls() const
{
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].step == SmtpStep::Encrypted)
            return i + 1;
    }
    return 0;
}

std::size_t SmtpProbe::Trace::plainEnd() const
{
    const std::size_t after = afterStartTls();
    return after ? after : steps.size();
}

const SmtpProbe::Step *SmtpProbe::Trace::lastEhlo(std::size_t from, std::size_t to, int *count) const
{
    const Step *last = nullptr;
    for (std::size_t i = from; i < std::min(to, steps.size()); ++i) {
        if (steps[i].step == SmtpStep::Ehlo) {
            last = &steps[i];
            if (count)
                ++*count;
        }
    }
    return last;
}

const SmtpCapabilities &SmtpProbe::Trace::capabilities() const
{
    static const SmtpCapabilities none;
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        if (it->step == SmtpStep::Ehlo && it->reply.ok())
            return it->capabilities;
    }
    return none;
}

std::vector<const SmtpProbe::Step *> SmtpProbe::Trace::all(SmtpStep step) const
{
    std::vector<const Step *> found;
    for (const Step &s : steps) {
        if (s.step == step)
            found.push_back(&s);
    }
    return found;
}

SmtpProbe::SmtpProbe(MailTimeouts timeouts) : m_timeouts(timeouts) {}

SmtpProbe::Trace SmtpProbe::run(const SmtpAccount &account, const SmtpMessage &message)
{
    m_trace = {};
    m_trace.started = Clock::now();
    m_ehloPending = false;
    // One message per connection: the client says QUIT once the probe is over.
    SmtpSession session(m_timeouts, false, *this);
    QEventLoop loop;
    m_session = &session;
    m_loop = &loop;
    watchSocket(session.socket());
    // The client keeps every limit itself; this only guards against a wait
    // that none of them ends.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(m_timeouts.connect + m_timeouts.wholeAttempt + m_timeouts.politeClose);
    session.submit(account, message);
    loop.exec();
    settleCapabilities();
    if (!m_trace.finished) {
        session.cancel();
        m_trace.outcome.explanation = QStringLiteral("The session did not end in time");
    }
    m_session = nullptr;
    m_loop = nullptr;
    return std::move(m_trace);
}

void SmtpProbe::watchSocket(const QSslSocket &socket)
{
    // Connected after the client's own handlers, so these see each event
    // once the client has acted on it.
    QObject::connect(&socket, &QSslSocket::connected, m_loop, [this] {
        m_trace.connected = true;
        m_trace.connectedAt = Clock::now();
    });
    QObject::connect(&socket, &QSslSocket::encrypted, m_loop, [this, &socket] { keepHandshake(socket, true); });
    QObject::connect(&socket, &QSslSocket::sslErrors, m_loop, [this, &socket] { keepHandshake(socket, false); });
    QObject::connect(&socket, &QSslSocket::errorOccurred, m_loop,
                     [this, &socket](QAbstractSocket::SocketError error) {
                         if (m_trace.socketFailed)
                             return;
                         m_trace.socketFailed = true;
                         m_trace.socketError = error;
                         m_trace.socketErrorText = socket.errorString();
                     });
    QObject::connect(&socket, &QSslSocket::stateChanged, m_loop, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            endWhenClosed();
    });
}

void SmtpProbe::keepHandshake(const QSslSocket &socket, bool encrypted)
{
    Handshake &h = m_trace.handshake;
    h.encrypted = h.encrypted || encrypted;
    h.protocol = socket.sessionProtocol();
    h.cipher = socket.sessionCipher().name();
    if (!socket.peerCertificateChain().isEmpty()) {
        h.chain = socket.peerCertificateChain();
        h.certificateSeen = true;
    }
    h.at = Clock::now();
    if (m_session)
        m_trace.tlsErrors = m_session->tlsErrors();
}

// The client reads an EHLO reply only after reporting it, so what it learnt
// is taken at the next thing it reports.
void SmtpProbe::settleCapabilities()
{
    if (!m_ehloPending || !m_session)
        return;
    m_ehloPending = false;
    for (auto it = m_trace.steps.rbegin(); it != m_trace.steps.rend(); ++it) {
        if (it->step == SmtpStep::Ehlo) {
            it->capabilities = m_session->capabilities();
            break;
        }
    }
}

void SmtpProbe::sessionStatus(quint64, const QString &)
{
    settleCapabilities();
}

void SmtpProbe::sessionProgress(quint64, int)
{
    settleCapabilities();
}

void SmtpProbe::sessionStep(SmtpStep step, const SmtpReply &reply)
{
    settleCapabilities();
    m_trace.steps.push_back({step, reply, Clock::now(), {}});
    m_ehloPending = step == SmtpStep::Ehlo;
}

void SmtpProbe::sessionFinished(quint64, const MailOutcome &outcome)
{
    settleCapabilities();
    m_trace.finished = true;
    m_trace.outcome = outcome;
    m_trace.finishedAt = Clock::now();
    if (m_session) {
        m_trace.mechanism = m_session->authMechanism();
        m_trace.tlsErrors = m_session->tlsErrors();
    }
    endWhenClosed();
}

void SmtpProbe::endWhenClosed()
{
    if (!m_trace.finished || !m_session || m_session->socket().state() != QAbstractSocket::UnconnectedState)
        return;
    m_trace.closedAt = Clock::now();
    m_loop->quit();
}

} // namespace corvane
