#pragma once

#include "dispatch/RetryRule.h"
#include "mail/MailOutcome.h"
#include "storage/Clock.h"

#include <QObject>
#include <QString>

#include <deque>
#include <map>
#include <optional>
#include <set>

namespace corvane {

class ActivityLog;
class MailComponent;
class NotificationQueue;
class OAuthTokenSource;
struct Settings;

// Moves pending notifications to the mail component, one pass per timer tick.
// A pass is a small state machine driven by the component's `finished` signal,
// so the window stays responsive while a message is sent; a tick that comes
// while a pass runs does nothing, so no message is ever sent twice.
// While one message is sent, the next pending ones are already lined up in the
// component, so in a burst the mail thread goes on without waiting for this
// one; each is shown, logged and freed as the running send when the one before
// it has finished.
//
// A send that meets a passing failure (RetryRule) leaves its message pending
// in its slot, to be tried again after a back-off; a pass skips it until then.
// When the server itself is the problem (unreachable, throttling, the account)
// no pass starts until the back-off is over, and then the queue goes in its
// order. Max_Per_Minute spaces the attempts.
class Dispatcher : public QObject {
    Q_OBJECT
public:
    Dispatcher(NotificationQueue &queue, const Settings &settings, MailComponent &component,
               const ActivityLog &log, Clock clock = systemClock(), OAuthTokenSource *tokens = nullptr,
               QObject *parent = nullptr);

    // The timeEmail tick.
    void onTick();
    bool isPassRunning() const;

    // No pass starts after this; a running pass ends when its current send has
    // returned (the slot of that send is still freed). Used while the program
    // closes.
    void stop();

    // The account settings were changed: messages lined up but not yet begun
    // are filled again from them.
    void accountChanged();

    // No pass starts before this (milliseconds since the epoch); 0 when the
    // server is not paused.
    qint64 pausedUntilMs() const { return m_pausedUntilMs; }

signals:
    void statusCleared(); // lstStatus is emptied before each send
    void passFinished();
    void statusLine(const QString &line);   // "Deferred: ..." and "Given up: ..." for lstStatus
    void progressText(const QString &text); // for lblProgress: when the next try comes
    void sendDeferred();                    // the send about to finish was deferred, not failed
    void deferredCountChanged(int count);

private:
    void sendFrom();
    void fillComponent(int index);
    void setOAuth(MailComponent &mail);
    void onSendFinished();
    void lineUpMore();
    void takeBackLinedUp();
    void endPass();
    bool startSend(int index, bool first);
    void logSendEmail(int index);
    void onFinalSending(quint64 send, const QByteArray &messageId);
    void onAccepted(quint64 send);
    void onOutcome(const MailOutcome &outcome);
    // The send of the slot has returned: freed, or deferred for a later try.
    void settle(int index);
    void deferOrGiveUp(int index, const MailOutcome &outcome, const RetryRule::Decision &decision,
                       const std::optional<QByteArray> &sentId);
    // Max_Per_Minute or a server-wide pause holds the next start.
    bool mayStartNow();
    bool isDue(int index) const;
    qint64 nowMs() const;

    NotificationQueue &m_queue;
    const Settings &m_settings;
    MailComponent &m_component;
    const ActivityLog &m_log;
    Clock m_clock;
    OAuthTokenSource *m_tokens;

    // The slot of every send handed to the component and not yet finished,
    // by the component's send number, for its delivery hooks.
    std::map<quint64, int> m_slotOfSend;
    // Accepted before their "Send email:" line was written: they leave the
    // journal once it is, so the log never misses a delivered message.
    std::set<int> m_acceptedUnlogged;

    bool m_passRunning = false;
    bool m_stopped = false;
    int m_bound = -1;    // upper bound read when the pass started
    int m_index = 0;     // next slot to look at
    int m_sending = -1;  // slot whose send has not returned yet
    std::deque<int> m_linedUp; // slots lined up behind it in the component, in order
    bool m_insideSend = false;      // Send() has not returned to us yet
    bool m_finishedInsideSend = false;

    std::optional<MailOutcome> m_outcome;   // of the send about to finish
    std::map<int, QByteArray> m_finalSentId; // slots whose end of data went out, with their Message-ID
    qint64 m_attemptStartMs = 0;            // of the running send
    qint64 m_pausedUntilMs = 0;
    int m_serverFailures = 0;               // server-wide deferrals in a row
    std::deque<qint64> m_recentStarts;      // within the last minute, for Max_Per_Minute
    int m_reportedDeferred = 0;
};

} // namespace corvane
