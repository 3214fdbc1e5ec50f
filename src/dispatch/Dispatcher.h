#pragma once

#include <QObject>

#include <deque>
#include <map>
#include <set>

namespace corvane {

class ActivityLog;
class MailComponent;
class NotificationQueue;
struct Settings;

// Moves pending notifications to the mail component, one pass per timer tick.
// A pass is a small state machine driven by the component's `finished` signal,
// so the window stays responsive while a message is sent; a tick that comes
// while a pass runs does nothing, so no message is ever sent twice.
// While one message is sent, the next pending ones are already lined up in the
// component, so in a burst the mail thread goes on without waiting for this
// one; each is shown, logged and freed as the running send when the one before
// it has finished.
class Dispatcher : public QObject {
    Q_OBJECT
public:
    Dispatcher(NotificationQueue &queue, const Settings &settings, MailComponent &component,
               const ActivityLog &log, QObject *parent = nullptr);

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

signals:
    void statusCleared(); // lstStatus is emptied before each send
    void passFinished();

private:
    void sendFrom();
    void fillComponent(int index);
    void onSendFinished();
    void lineUpMore();
    void takeBackLinedUp();
    void endPass();
    bool startSend(int index, bool first);
    void logSendEmail(int index);
    void onFinalSending(quint64 send, const QByteArray &messageId);
    void onAccepted(quint64 send);

    NotificationQueue &m_queue;
    const Settings &m_settings;
    MailComponent &m_component;
    const ActivityLog &m_log;

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
};

} // namespace corvane
