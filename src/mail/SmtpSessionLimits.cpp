// The session's time limits: a server that stalls, an attempt that takes too
// long as a whole, a kept connection left idle. Kept apart from the dialogue:
// each only ends what the clock says is over.
#include "mail/SmtpSession.h"

#include <algorithm>

namespace corvane {

using Kind = MailOutcome::Kind;
using State = SmtpConnection::State;
using std::chrono::milliseconds;

void SmtpSession::onStall()
{
    const SmtpWording &said = m_connection.wording();
    switch (m_connection.state()) {
    case State::Closed:
        return;
    case State::Quitting:
        connectionEnded({});
        break;
    case State::Connecting:
    case State::Handshake:
        connectionEnded({said.noConnectionWithin(m_timeouts.connect), MailPhase::Connect, {}, true});
        break;
    default: {
        const MailPhase phase = m_connection.state() == State::Ready ? MailPhase::Setup : MailPhase::Connect;
        connectionEnded({said.noAnswerWithin(m_timeouts.serverReply), phase, {}, true});
        break;
    }
    }
    turn();
}

void SmtpSession::onWholeAttempt()
{
    SmtpTransaction *first = head();
    if (!first || !first->deadline || *first->deadline > now())
        return armWhole();
    fail(*first, finalOnWire(*first) ? Kind::NoFinalReply : Kind::NotSent, MailPhase::Setup,
         m_connection.wording().didNotFinishWithin(m_timeouts.wholeAttempt));
    dropConnection();
    turn();
}

void SmtpSession::onIdle()
{
    if (m_connection.state() == State::Ready && !head())
        quit();
    turn();
}

void SmtpSession::armStall()
{
    const State state = m_connection.state();
    if (state == State::Closed)
        return m_stallTimer.stop();
    // One limit from the start of these: the connect, QUIT, a close's end.
    if (state == State::Connecting || state == State::Handshake || state == State::Quitting || m_closing)
        return;
    if (state != State::Ready)
        return m_stallTimer.start(m_timeouts.serverReply);
    if (m_connection.owesNothing())
        return m_stallTimer.stop();
    // A connection taken up again must answer its first command soon.
    m_stallTimer.start(m_awakening ? std::min(m_timeouts.reusedFirstReply, m_timeouts.serverReply)
                                   : m_timeouts.serverReply);
}

void SmtpSession::armWhole()
{
    const SmtpTransaction *first = head();
    if (!first || !first->deadline)
        return m_wholeTimer.stop();
    if (m_wholeTimer.isActive() && m_wholeTimer.due() == *first->deadline)
        return;
    m_wholeTimer.start(std::max(milliseconds(0), *first->deadline - now()));
}

} // namespace corvane
