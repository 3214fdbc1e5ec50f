#pragma once

#include "dispatch/DeliveryBook.h"
#include "dispatch/DigestWindows.h"
#include "dispatch/RetryRule.h"
#include "mail/MailOutcome.h"
#include "mail/MailProperties.h"
#include "storage/Clock.h"
#include "storage/QueueJournal.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <vector>

namespace corvane {

class ActivityLog;
class MailComponent;
class NotificationQueue;
class OAuthTokenSource;
struct Settings;

// Moves pending notifications to the mail component, one pass per timer tick.
// A pass is a small state machine driven by the component's `finished`
// signal, so the window stays responsive while a message is sent; a tick that
// comes while a pass runs does nothing, so no message is ever sent twice.
// While one message is sent, the next pending ones are already lined up in the
// component, so in a burst the client goes on without waiting for this one;
// each is shown, logged and settled as the running send when the one before
// it has finished.
//
// Every message goes by its one id (QueuedEmail::Id) from the queue to the
// component and back; its record in the DeliveryBook holds what the
// dispatcher knows of it. A send that meets a passing failure (RetryRule)
// leaves its message pending in its slot, to be tried again after a back-off;
// a pass skips it until then. When the server itself is the problem
// (unreachable, throttling, the account) no pass starts until the back-off is
// over, and then the queue goes in its order. Max_Per_Minute spaces the
// attempts.
//
// With Digest_Seconds set, each recipient list has a window: the first alarm
// for a list after a quiet spell goes at once and opens it; alarms for that
// list queued while it is open wait, and when it ends they go together as one
// digest, a delivery that carries several queue entries, which opens the next
// window. A digest is deferred, retried and freed as one message; what it
// carries is fixed at its first attempt, so alarms that come meanwhile join
// the next one. Max_Per_Minute counts it once.
class Dispatcher : public QObject {
    Q_OBJECT
public:
    // With a journal, what becomes of a message on its way (its end of data
    // about to go out, accepted, deferred) is written to it at once.
    Dispatcher(NotificationQueue &queue, const Settings &settings, MailComponent &component,
               const ActivityLog &log, Clock clock = systemClock(), OAuthTokenSource *tokens = nullptr,
               QueueJournal *journal = nullptr, QObject *parent = nullptr);

    // What the journal kept of the messages a previous run left, once they
    // are back in the queue.
    void restore(const std::vector<QueueJournal::Entry> &entries);

    // The timeEmail tick.
    void onTick();
    bool isPassRunning() const;

    // No pass starts after this; the messages lined up behind the running send
    // and not begun are taken back and stay queued. A running pass ends when
    // what was begun has finished. Used while the program closes.
    void stop();

    // The account settings were changed: messages lined up but not yet begun
    // are filled again from them.
    void accountChanged();

    // No pass starts before this (milliseconds since the epoch); 0 when the
    // server is not paused.
    qint64 pausedUntilMs() const { return m_pausedUntilMs; }
    int deferredCount() const { return m_book.deferredCount(); }
    // Alarms held in open digest windows, as of the last tick or pass.
    int digestWaitingCount() const { return m_reportedWaiting; }

signals:
    void statusCleared(); // lstStatus is emptied before each send
    void passFinished();
    void statusLine(const QString &line);   // "Deferred: ..." and "Given up: ..." for lstStatus
    void progressText(const QString &text); // for lblProgress: when the next try comes
    void sendDeferred();                    // the send about to finish was deferred, not failed
    void deferredCountChanged(int count);
    void digestWaitingChanged(int count); // alarms held in open digest windows
    // Just before the send about to finish is settled: how many alarms it
    // carried (more than one for a digest).
    void alarmsSettled(int count);

private:
    void sendFrom();
    // The delivery the entry in `slot` goes with: its own record, or with
    // digests on a new digest of every free entry for its recipients.
    Delivery &deliveryFor(int slot);
    bool submit(Delivery &delivery);
    const QString &subjectOf(const Delivery &delivery) const;
    void show(Delivery &delivery, bool clearStatus);
    void onFinished(std::uint64_t id, const MailOutcome &outcome);
    void goOn(int finishedSlot);
    void lineUpMore();
    void takeBackLinedUp();
    void endPass();
    void onFinalSending(std::uint64_t id);
    void onAccepted(std::uint64_t id);
    // The attempt has ended: freed, or deferred for a later try.
    void settle(Delivery &delivery, const MailOutcome &outcome, const RetryRule::Decision &decision);
    // Whether the message stays for a later try; given up otherwise.
    bool defer(Delivery &delivery, const RetryRule::Decision &decision);
    void release(const Delivery &delivery);
    // A digest the server's size limit refused: its alarms go into new,
    // smaller digests at once.
    bool dissolveIfTooLarge(Delivery &delivery, const MailOutcome &outcome);
    void journalSending(const Delivery &delivery);
    void journalFreed(const Delivery &delivery);
    void reportDigestWaiting();
    void setOAuth(MailProperties &properties) const;
    // Max_Per_Minute or a server-wide pause holds the next start.
    bool mayStartNow();
    bool isDue(int slot) const;
    int slotOf(std::uint64_t id) const;
    qint64 nowMs() const;

    NotificationQueue &m_queue;
    const Settings &m_settings;
    MailComponent &m_component;
    const ActivityLog &m_log;
    Clock m_clock;
    OAuthTokenSource *m_tokens;
    QueueJournal *m_journal;
    DeliveryBook m_book;
    DigestWindows m_digests;

    bool m_passRunning = false;
    bool m_stopped = false;
    int m_bound = -1;                   // upper bound read when the pass started
    int m_index = 0;                    // next slot to look at
    std::uint64_t m_sending = 0;        // the message shown as being sent; 0: none (ids start at 1)
    std::deque<std::uint64_t> m_linedUp; // lined up behind it in the component, in order

    qint64 m_pausedUntilMs = 0;
    int m_serverFailures = 0;          // server-wide deferrals in a row
    std::deque<qint64> m_recentStarts; // within the last minute, for Max_Per_Minute
    int m_reportedDeferred = 0;
    int m_reportedWaiting = 0;
};

} // namespace corvane
