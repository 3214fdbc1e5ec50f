#include "mail/SmtpSession.h"

#include <QMetaObject>

#include <algorithm>

namespace corvane {

using Kind = MailOutcome::Kind;
using State = SmtpConnection::State;
using std::chrono::milliseconds;

SmtpSession::SmtpSession(MailTimeouts timeouts, bool reuseConnection, SmtpSessionListener &listener,
                         QObject *parent, SessionClock *clock)
    : QObject(parent),
      m_timeouts(timeouts),
      m_reuse(reuseConnection),
      m_listener(listener),
      m_clock(clock),
      m_connection(*this, *this),
      m_stallTimer(clock, this, [this] { onStall(); }),
      m_wholeTimer(clock, this, [this] { onWholeAttempt(); }),
      m_idleTimer(clock, this, [this] { onIdle(); })
{
    connect(&m_connection.socket(), &QAbstractSocket::disconnected, this,
            [this] { m_listener.sessionDisconnected(); });
}

SmtpSession::~SmtpSession() = default;

void SmtpSession::submit(const SmtpAccount &account, const SmtpMessage &message)
{
    m_transactions.emplace_back(account, message);
    // At once, so a connection is under way before the caller returns to the
    // event loop; nothing is reported from here but through the listener.
    turn();
}

std::vector<quint64> SmtpSession::withdraw(int atMost, quint64 keep)
{
    std::vector<quint64> taken;
    while (int(taken.size()) < atMost && !m_transactions.empty()) {
        const SmtpTransaction &last = m_transactions.back();
        // The message a connection is being set up for has been spoken of.
        const bool connectingFor = &last == head() && m_connection.settingUp();
        if (last.step() != Step::Queued || !last.held.empty() || last.id() == keep || connectingFor)
            break;
        taken.push_back(last.id());
        m_transactions.pop_back();
    }
    return taken;
}

void SmtpSession::cancel()
{
    if (m_transactions.empty())
        return abandon();
    cancelAll();
    dropConnection();
    turn();
}

void SmtpSession::close()
{
    cancelAll();
    endConnection(true);
    turn();
}

void SmtpSession::cancelAll()
{
    for (SmtpTransaction &tx : m_transactions) {
        if (tx.step() != Step::Done)
            fail(tx, finalOnWire(tx) ? Kind::NoFinalReply : Kind::NotSent, MailPhase::Setup,
                 m_connection.wording().cancelled());
    }
}

void SmtpSession::abandon()
{
    dropConnection();
    turn();
}

// --- the turn ------------------------------------------------------------------------

// The one way anything is written: every event ends here.
void SmtpSession::turn()
{
    if (m_turning) {
        m_turnAgain = true;
        return;
    }
    m_turning = true;
    do {
        m_turnAgain = false;
        advance();
        if (m_connection.flush() || m_moved)
            armStall();
        m_moved = false;
        report();
    } while (m_turnAgain);
    armWhole();
    m_turning = false;
}

// Moves the messages on as far as the connection lets them go before a reply.
void SmtpSession::advance()
{
    for (;;) {
        SmtpTransaction *next = nullptr;
        bool inFlight = false;
        for (SmtpTransaction &tx : m_transactions) {
            inFlight = inFlight || tx.inFlight();
            if (tx.step() == Step::Queued) {
                next = &tx;
                break;
            }
        }
        if (m_connection.stopping()) { // no new step: QUIT once nothing is owed
            if (m_connection.owesNothing() && m_connection.state() != State::Quitting)
                quit();
            return;
        }
        if (m_connection.state() == State::Closed && next && !m_reopenPosted)
            return open(*next);
        if (m_connection.state() != State::Ready)
            return;
        if (!next) {
            if (inFlight)
                return;
            if (!m_reuse)
                return quit();
            if (!m_idleTimer.isActive())
                m_idleTimer.start(m_timeouts.idleConnectionAge);
            return;
        }
        if (next->key() != m_connection.key() || (!m_reuse && m_carried > 0)) {
            if (!inFlight)
                quit(); // a new account, or one message per session: afresh once closed
            return;
        }
        if (!mayBegin(SmtpTransaction::flowFor(m_connection.capabilities())))
            return;
        begin(*next);
    }
}

// Without PIPELINING one message at a time; with it, the next envelope goes
// once every message before it has its final "." on the way, and with
// CHUNKING (whose envelope carries the body) only on a quiet line.
bool SmtpSession::mayBegin(SmtpFlow flow) const
{
    return std::none_of(m_transactions.begin(), m_transactions.end(), [flow](const SmtpTransaction &tx) {
        return tx.inFlight() && (flow != SmtpFlow::Pipelined || tx.step() != Step::FinalSent);
    });
}

void SmtpSession::open(SmtpTransaction &tx)
{
    m_carried = 0;
    m_awakening = false;
    if (!tx.deadline)
        tx.deadline = now() + m_timeouts.wholeAttempt;
    m_stallTimer.start(m_timeouts.connect); // lookup, TCP, and TLS for smtps://: one limit
    m_connection.open(tx.account(), tx.key());
}

void SmtpSession::begin(SmtpTransaction &tx)
{
    const bool behind = std::any_of(m_transactions.begin(), m_transactions.end(),
                                    [](const SmtpTransaction &other) { return other.inFlight(); });
    m_idleTimer.stop();
    const SmtpWording &said = m_connection.wording();
    const SmtpCapabilities &caps = m_connection.capabilities();
    if (m_carried > 0 || behind)
        status(tx, said.usingOpenConnection());
    if (tx.account().wantsLogin() && m_carried == 0 && !behind && caps.auth.isEmpty())
        status(tx, said.noLoginOffered());
    progress(tx, 0);
    if (!tx.deadline)
        tx.deadline = now() + m_timeouts.wholeAttempt;
    const qint64 size = tx.message().data.size();
    if (caps.sizeLimit > 0 && size > caps.sizeLimit)
        return fail(tx, Kind::NotSent, MailPhase::Mail, said.tooLarge(size, caps.sizeLimit));
    if (!behind)
        m_awakening = m_carried > 0;
    tx.begin(m_connection, SmtpTransaction::flowFor(caps), caps);
}

void SmtpSession::quit()
{
    m_idleTimer.stop();
    m_connection.quit();
    m_stallTimer.start(std::min(m_timeouts.politeClose, m_timeouts.serverReply));
}

// After a refusal, or at a close: QUIT once the replies owed are in, where
// the connection is in step; else it is dropped.
void SmtpSession::endConnection(bool closing)
{
    if (m_connection.state() == State::Closed)
        return;
    // At a close every message has ended: a DATA on the wire would be
    // answered 354, and nothing is left to send but an empty message.
    if ((closing && m_connection.owes(SmtpCommand::Data)) || !m_connection.windDown())
        return dropConnection();
    if (!closing || m_connection.state() == State::Quitting)
        return;
    m_closing = true;
    m_idleTimer.stop();
    m_stallTimer.start(std::min(m_timeouts.politeClose, m_timeouts.serverReply));
}

void SmtpSession::closeConnection()
{
    m_closing = false;
    m_connection.close();
    m_stallTimer.stop();
    m_idleTimer.stop();
    m_awakening = false;
    // Never again from inside the old socket's signal: Qt goes on with the
    // socket after the slot returns.
    if (m_reopenPosted)
        return;
    m_reopenPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_reopenPosted = false;
            turn();
        },
        Qt::QueuedConnection);
}

// The connection is given up from this side: what the server cannot have
// taken goes out again on a new one.
void SmtpSession::dropConnection()
{
    for (SmtpTransaction &tx : m_transactions) {
        if (finalOnWire(tx))
            fail(tx, Kind::NoFinalReply, MailPhase::EndOfData, m_connection.wording().givenUpBeforeConfirming());
        else if (tx.inFlight())
            tx.requeue();
    }
    closeConnection();
}

// --- what the connection says ----------------------------------------------------------

void SmtpSession::connectionStatus(const QString &line)
{
    if (SmtpTransaction *tx = head())
        status(*tx, line);
}

void SmtpSession::connectionStep(SmtpStep step, const SmtpReply &reply)
{
    m_listener.sessionStep(step, reply);
}

// The server's side ended the connection: what was on it ends, or goes to a
// new connection when the server cannot have accepted any of it.
void SmtpSession::connectionEnded(const SmtpEnding &ending)
{
    const SmtpWording &said = m_connection.wording();
    // A connection is for the first message waiting until it winds down:
    // set up for it, or ready and about to begin it.
    const bool forFirstWaiting = m_connection.state() != State::Quitting && !m_connection.stopping();
    bool first = true;
    for (SmtpTransaction &tx : m_transactions) {
        if (tx.step() == Step::Done)
            continue;
        if (tx.step() == Step::Queued) {
            if (first && forFirstWaiting) {
                fail(tx, ending.reply.received() ? Kind::Refused : Kind::NotSent, ending.phase, ending.reason,
                     ending.reply);
                first = false;
            }
            continue;
        }
        if (finalOnWire(tx)) {
            fail(tx, Kind::NoFinalReply, MailPhase::EndOfData,
                 ending.timedOut ? ending.reason : said.closedBeforeConfirming());
        } else if (tx.step() == Step::EnvelopeWritten && !first) {
            tx.requeue(); // it rode behind another message: nothing of it was taken
        } else if (tx.step() == Step::EnvelopeWritten && m_awakening && !tx.resent) {
            // The kept connection died while idle; the server answered nothing
            // of this message, so a new connection cannot duplicate it.
            tx.resent = true;
            status(tx, said.sendingAgain(ending.timedOut));
            tx.requeue();
        } else {
            fail(tx, Kind::NotSent, MailPhase::Mail, ending.reason);
        }
        first = false;
    }
    if (ending.inStep)
        return endConnection(false);
    closeConnection();
}

void SmtpSession::messageReply(const SmtpOwed &owed, const SmtpReply &reply)
{
    m_awakening = false;
    SmtpTransaction *tx = find(owed.message);
    if (!tx)
        return;
    if (tx->step() == Step::Done || tx->step() == Step::Queued)
        return staleReply(*tx, owed, reply);
    const SmtpWording &said = m_connection.wording();
    const SmtpFlow flow = SmtpTransaction::flowFor(m_connection.capabilities());
    switch (owed.command) {
    case SmtpCommand::Mail:
        m_listener.sessionStep(SmtpStep::Mail, reply);
        if (reply.code >= 400 && reply.code < 500 && m_carried > 0) {
            // The server's limit of messages a session: this one goes first
            // on a new connection, and the deferral rules never hear of it.
            // A fresh connection that refuses it too is a refusal.
            status(*tx, said.sessionUsedUp(reply));
            tx->requeue();
            return endConnection(false);
        }
        if (!reply.ok())
            return refuse(*tx, MailPhase::Mail, reply, said.senderRefused(tx->message().sender, reply));
        return tx->mailTaken(m_connection, flow);
    case SmtpCommand::Rcpt:
        m_listener.sessionStep(SmtpStep::Rcpt, reply);
        if (!reply.ok())
            status(*tx, said.recipientRefused(tx->recipient(owed.rcpt), reply));
        if (!tx->recipientAnswered(reply, m_connection, flow))
            return refuse(*tx, MailPhase::Rcpt, reply, said.everyRecipientRefused());
        return;
    case SmtpCommand::Data:
        if (reply.code != 354)
            return refuse(*tx, MailPhase::Data, reply, said.messageRefused(reply));
        return tx->writeBody(m_connection); // the next envelope rides with it where the flow allows
    case SmtpCommand::EndOfData: {
        status(*tx, said.serverReply(reply));
        if (!reply.ok())
            return refuse(*tx, MailPhase::EndOfData, reply, said.messageRefused(reply));
        m_listener.sessionAccepted(tx->id());
        const int recipients = int(tx->message().recipients.size());
        status(*tx, said.accepted(tx->outcome.acceptedRecipients, recipients));
        return accept(*tx, reply);
    }
    case SmtpCommand::Rset: // a probe's end: the server took its recipients, and nothing was sent
        m_listener.sessionStep(SmtpStep::Reset, reply);
        return accept(*tx, reply);
    default:
        return;
    }
}

// A reply for a message decided here already (refused, cancelled) or moved to
// a new connection: read and let be, unless the server went on with it.
void SmtpSession::staleReply(SmtpTransaction &tx, const SmtpOwed &owed, const SmtpReply &reply)
{
    if (owed.command == SmtpCommand::Data && reply.code == 354)
        return dropConnection(); // it waits for a body that will not come: out of step
    if (owed.command == SmtpCommand::EndOfData && reply.ok() && tx.step() == Step::Queued) {
        // A BDAT LAST taken after its MAIL was refused: never send it again.
        m_listener.sessionAccepted(tx.id());
        accept(tx, reply);
    }
}

void SmtpSession::finalSending(quint64 id)
{
    m_listener.sessionFinalSending(id);
    if (SmtpTransaction *tx = find(id))
        progress(*tx, 100);
}

void SmtpSession::connectionEvent()
{
    m_moved = true;
    turn();
}

// --- outcomes --------------------------------------------------------------------------

void SmtpSession::accept(SmtpTransaction &tx, const SmtpReply &reply)
{
    tx.finish(Kind::Accepted, MailPhase::EndOfData, QString(), reply, m_connection.wording().text(reply));
    ++m_carried;
}

void SmtpSession::refuse(SmtpTransaction &tx, MailPhase phase, const SmtpReply &reply, const QString &explanation)
{
    fail(tx, Kind::Refused, phase, explanation, reply);
    // The messages behind this one go out on a new connection: the replies
    // owed are read first (those already on this one go on), then QUIT.
    endConnection(false);
}

void SmtpSession::fail(SmtpTransaction &tx, Kind kind, MailPhase phase, const QString &explanation,
                       const SmtpReply &reply)
{
    tx.finish(kind, phase, explanation, reply, reply.received() ? m_connection.wording().text(reply) : QString());
    status(tx, explanation);
}

// Outside a turn nothing waits unwritten, so FinalSent means on the wire.
bool SmtpSession::finalOnWire(const SmtpTransaction &tx) const
{
    return tx.step() == Step::FinalSent && !m_connection.finalUnwritten(tx.id());
}

void SmtpSession::report()
{
    while (!m_transactions.empty()) {
        SmtpTransaction &front = m_transactions.front();
        for (const SmtpTransaction::Held &held : front.held) {
            if (held.kind == SmtpTransaction::Held::Status)
                m_listener.sessionStatus(front.id(), held.line);
            else
                m_listener.sessionProgress(front.id(), held.percent);
        }
        front.held.clear();
        if (front.step() != Step::Done)
            break;
        const quint64 id = front.id();
        const MailOutcome outcome = front.outcome;
        m_transactions.pop_front();
        m_listener.sessionFinished(id, outcome);
    }
}

// --- small helpers ---------------------------------------------------------------------

SmtpTransaction *SmtpSession::head()
{
    for (SmtpTransaction &tx : m_transactions) {
        if (tx.step() != Step::Done)
            return &tx;
    }
    return nullptr;
}

SmtpTransaction *SmtpSession::find(quint64 id)
{
    for (SmtpTransaction &tx : m_transactions) {
        if (tx.id() == id)
            return &tx;
    }
    return nullptr;
}

void SmtpSession::status(SmtpTransaction &tx, const QString &line)
{
    if (&tx == &m_transactions.front() && tx.held.empty())
        m_listener.sessionStatus(tx.id(), line);
    else
        tx.held.push_back({SmtpTransaction::Held::Status, line, 0});
}

void SmtpSession::progress(SmtpTransaction &tx, int percent)
{
    // A message that moves to a new connection starts again at 0: report
    // only what goes forward.
    if (percent <= tx.lastProgress)
        return;
    tx.lastProgress = percent;
    if (&tx == &m_transactions.front() && tx.held.empty())
        m_listener.sessionProgress(tx.id(), percent);
    else
        tx.held.push_back({SmtpTransaction::Held::Progress, {}, percent});
}

} // namespace corvane
