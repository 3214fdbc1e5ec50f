#pragma once

#include <QObject>

namespace corvane {

class ActivityLog;
class MailComponent;
class NotificationQueue;
struct Settings;

// Moves pending notifications to the mail component, one pass per timer tick.
// A pass is a small state machine driven by the component's `finished` signal,
// so the window stays responsive while a message is sent; a tick that comes
// while a pass runs does nothing, so no message is ever sent twice.
class Dispatcher : public QObject {
    Q_OBJECT
public:
    Dispatcher(NotificationQueue &queue, const Settings &settings, MailComponent &component,
               const ActivityLog &log, QObject *parent = nullptr);

    // The timeEmail tick.
    void onTick();
    bool isPassRunning() const;

signals:
    void statusCleared(); // lstStatus is emptied before each send
    void passFinished();
};

} // namespace corvane
