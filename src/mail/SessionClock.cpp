#include "mail/SessionClock.h"

namespace corvane {

using std::chrono::milliseconds;

milliseconds SessionClock::nowOn(const SessionClock *clock)
{
    if (clock)
        return clock->now();
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

void SessionClock::fire(SessionTimer &timer)
{
    timer.m_armed = false;
    timer.m_onTimeout();
}

SessionTimer::SessionTimer(SessionClock *clock, QObject *context, std::function<void()> onTimeout)
    : m_clock(clock), m_onTimeout(std::move(onTimeout))
{
    m_timer.setSingleShot(true);
    // A limit the status line names must end when it says, not up to 5 % later.
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, context, [this] { m_onTimeout(); });
}

SessionTimer::~SessionTimer()
{
    stop();
}

void SessionTimer::start(milliseconds in)
{
    m_due = SessionClock::nowOn(m_clock) + in;
    if (!m_clock) {
        m_timer.start(in);
        return;
    }
    m_armed = true;
    m_clock->arm(*this);
}

void SessionTimer::stop()
{
    if (!m_clock) {
        m_timer.stop();
        return;
    }
    if (m_armed)
        m_clock->disarm(*this);
    m_armed = false;
}

bool SessionTimer::isActive() const
{
    return m_clock ? m_armed : m_timer.isActive();
}

} // namespace corvane
