#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

namespace corvane {

class SessionTimer;

// Where a mail session's time comes from. A session without one keeps its
// limits on real QTimers; a test hands in a clock it moves by hand, so that a
// rule about a minute is checked in a millisecond.
class SessionClock {
public:
    virtual ~SessionClock() = default;
    // Monotonic; only differences mean anything.
    virtual std::chrono::milliseconds now() const = 0;
    // `timer` falls due at timer.due(): fire it then, unless disarmed first.
    virtual void arm(SessionTimer &timer) = 0;
    virtual void disarm(SessionTimer &timer) = 0;

    // The time on `clock`, or the system's steady clock without one.
    static std::chrono::milliseconds nowOn(const SessionClock *clock);

protected:
    static void fire(SessionTimer &timer);
};

// One single-shot limit of a session, held by value: a QTimer of its own, or
// an entry on the session's clock when it was given one.
class SessionTimer {
public:
    SessionTimer(SessionClock *clock, QObject *context, std::function<void()> onTimeout);
    ~SessionTimer();
    SessionTimer(const SessionTimer &) = delete;
    SessionTimer &operator=(const SessionTimer &) = delete;

    void start(std::chrono::milliseconds in);
    void stop();
    bool isActive() const;
    std::chrono::milliseconds due() const { return m_due; }

private:
    friend class SessionClock;

    SessionClock *m_clock;
    std::function<void()> m_onTimeout;
    QTimer m_timer;
    std::chrono::milliseconds m_due{0};
    bool m_armed = false; // on the clock
};

} // namespace corvane
