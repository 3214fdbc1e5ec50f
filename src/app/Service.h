#pragma once

#include "intake/WireFormat.h"
#include "mail/MailComponent.h"
#include "storage/ActivityLog.h"
#include "storage/Clock.h"
#include "storage/Result.h"
#include "storage/Settings.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

namespace corvane {

class CommandEndpoint;
class CommandHandler;
class Dispatcher;
class NotificationQueue;
class OAuthTokenSource;
class QueueJournal;
class SendEvents;

struct ServiceOptions {
    QString folder;          // the executable's folder: Corvane.ini, Logs/ and Spool/ live there
    quint16 listenPort = wire::CommandPort;
    quint16 ackPort = wire::AckPort;
    Clock clock = systemClock();
    MailTimeouts mailTimeouts;
    std::chrono::milliseconds tickInterval{500};
    std::chrono::milliseconds cancelWait{1500}; // how long closing waits for a running send
};

// The running service without any widget: it owns the settings, the log, the
// queue, the command port (wsRC), the mail component (poSendMail), the
// dispatcher with its timer (timeEmail) and the clock timer (timeTime). The
// main window only shows what this object reports, so the whole service can be
// built and driven by tests.
class Service : public QObject {
    Q_OBJECT
public:
    explicit Service(ServiceOptions options, QObject *parent = nullptr);
    ~Service() override;

    // The start-up sequence, in order: mail component, queue, command port,
    // settings file path, settings, "Program Started", then the messages a
    // previous run left in the journal back into the queue. On failure the result
    // says why; the steps after the failing one have not run and nothing
    // was logged.
    Result start();
    bool isStarted() const { return m_started; }

    // A close request (window closed, SIGTERM/SIGINT/SIGHUP): logs "Program
    // Closed" the first time only, then stops. `stopped` follows once a running
    // send has been cancelled, or after cancelWait at most.
    void requestClose();
    // "Exit": the same stop without the log line.
    void exitWithoutLog();
    bool isClosing() const { return m_closing; }

    // The account settings in memory were changed (the account dialog): the
    // sends that have not begun use them.
    void accountChanged();

    static QString dateText(const QDateTime &now); // "MM-dd-yyyy"
    static QString timeText(const QDateTime &now); // "HH:mm:ss", 24-hour

    Settings &settings() { return m_settings; }
    const ActivityLog &log() const { return m_log; }
    NotificationQueue *queue() const { return m_queue.get(); }
    MailComponent *mailComponent() const { return m_poSendMail.get(); }
    CommandEndpoint *endpoint() const { return m_wsRC.get(); }
    Dispatcher *dispatcher() const { return m_dispatcher.get(); }
    QTimer &clockTimer() { return m_timeTime; }
    QTimer &emailTimer() { return m_timeEmail; }

signals:
    void clockTicked(const QDateTime &now);        // once per timeTime tick
    void statusCleared();                          // empty lstStatus
    void statusLineAppended(const QString &line);  // append to lstStatus
    void progressTextChanged(const QString &text); // lblProgress
    void deferredCountChanged(int count);          // messages waiting for a later try
    void digestWaitingChanged(int count);          // alarms held in open digest windows
    void stopping();                               // a close request or "Exit" began the stop
    void stopped();                                // the event loop may end now

private:
    void onClockTick();
    void stop();
    void finishStop();
    void reportSpool(const QString &text);
    void keepRenewedRefreshToken(const QString &previous, const QString &renewed);

    ServiceOptions m_options;
    Settings m_settings;
    ActivityLog m_log;
    std::unique_ptr<OAuthTokenSource> m_tokens; // before the component, which holds on to it
    std::unique_ptr<MailComponent> m_poSendMail;
    std::unique_ptr<SendEvents> m_sendEvents;
    std::unique_ptr<QueueJournal> m_journal;
    std::unique_ptr<NotificationQueue> m_queue;
    std::unique_ptr<CommandHandler> m_handler;
    std::unique_ptr<CommandEndpoint> m_wsRC;
    std::unique_ptr<Dispatcher> m_dispatcher;
    QTimer m_timeTime;
    QTimer m_timeEmail;
    QTimer m_cancelDeadline;
    bool m_started = false;
    bool m_closing = false;
    bool m_stopped = false;
};

} // namespace corvane
