#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

namespace corvane {

class Service;
class ServiceNotifier;

// Tells the service manager how the service is doing: ready once started, a
// status line with the sends since start, keep-alives from the event loop (so
// a wedged loop gets the process restarted), stopping at the close request.
class ServiceHeartbeat : public QObject {
    Q_OBJECT
public:
    // `service` must have started.
    ServiceHeartbeat(Service &service, ServiceNotifier &notifier, QObject *parent = nullptr);

    QString statusText() const;
    // What keeps the account from sending ("no SMTP server set"), or empty.
    QString missingSetup() const;

private:
    void onSent();
    void onFailed();
    void onFinished();
    void onTick();
    void onStopping();
    void sendStatusIfChanged();

    Service &m_service;
    ServiceNotifier &m_notifier;
    QTimer m_timer;
    int m_sent = 0;
    int m_failed = 0;
    int m_alarmsInSend = 1; // in the send about to finish
    QDateTime m_lastSend;
    QString m_lastOutcome;
    enum class Outcome { None, Sent, Failed, Deferred } m_outcome = Outcome::None; // of the running send
    QString m_lastStatus;
    bool m_stopping = false;
};

} // namespace corvane
