#include "app/ServiceHeartbeat.h"

#include "app/Service.h"
#include "app/ServiceNotifier.h"
#include "dispatch/Dispatcher.h"
#include "intake/NotificationQueue.h"
#include "mail/MailComponent.h"

#include <QLocale>

#include <algorithm>

namespace corvane {

namespace {

// Without a watchdog the status line is still kept fresh for `systemctl status`.
constexpr std::chrono::milliseconds kStatusInterval{5000};

} // namespace

ServiceHeartbeat::ServiceHeartbeat(Service &service, ServiceNotifier &notifier, QObject *parent)
    : QObject(parent), m_service(service), m_notifier(notifier), m_timer(this)
{
    if (!m_notifier.active())
        return;
    connect(m_service.mailComponent(), &MailComponent::SendSuccesful, this, &ServiceHeartbeat::onSent);
    connect(m_service.mailComponent(), &MailComponent::SendFailed, this, &ServiceHeartbeat::onFailed);
    // Comes after SendFailed, from the dispatcher's `finished` (connected first): the message waits, it did not fail.
    connect(m_service.dispatcher(), &Dispatcher::sendDeferred, this, [this] { m_outcome = Outcome::Deferred; });
    // A digest counts every alarm it carries.
    connect(m_service.dispatcher(), &Dispatcher::alarmsSettled, this, [this](int count) { m_alarmsInSend = count; });
    // After the dispatcher has freed the slot (it was connected first), so the
    // message is not counted as waiting and as done at once.
    connect(m_service.mailComponent(), &MailComponent::finished, this, &ServiceHeartbeat::onFinished);
    connect(&m_service, &Service::stopping, this, &ServiceHeartbeat::onStopping);
    connect(&m_timer, &QTimer::timeout, this, &ServiceHeartbeat::onTick);

    // Half the watchdog time, so one late tick does not get the service killed.
    const auto watchdog = std::chrono::duration_cast<std::chrono::milliseconds>(m_notifier.watchdogInterval());
    m_timer.setInterval(watchdog.count() > 0 ? std::max<std::chrono::milliseconds>(watchdog / 2, std::chrono::milliseconds(1))
                                              : kStatusInterval);
    m_timer.start();
    // Under a service manager nobody sees the window: the log and `systemctl
    // status` say why a running Corvane sends nothing.
    if (const QString missing = missingSetup(); !missing.isEmpty())
        m_service.log().WriteLog(QStringLiteral("Not set up: %1 in %2")
                                     .arg(missing, m_service.settings().SettingsFilePath));
    m_lastStatus = statusText();
    m_notifier.notify("READY=1\nSTATUS=" + m_lastStatus.toUtf8());
}

QString ServiceHeartbeat::statusText() const
{
    const NotificationQueue *queue = m_service.queue();
    const int waiting = queue ? queue->emailQueue().pendingCount() : 0;
    // Every queued message is at last sent once or fails once (a deferred one
    // is still waiting), so the messages queued since start are those plus the
    // ones still waiting.
    QString text;
    // Read on every tick: an account applied in the window shows at once.
    if (const QString missing = missingSetup(); !missing.isEmpty())
        text = QStringLiteral("Not set up: %1; ").arg(missing);
    text += QStringLiteral("%1 queued since start (%2 waiting), %3 sent, %4 failed")
                       .arg(m_sent + m_failed + waiting)
                       .arg(waiting)
                       .arg(m_sent)
                       .arg(m_failed);
    if (const int deferred = m_service.dispatcher() ? m_service.dispatcher()->deferredCount() : 0; deferred > 0)
        text += QStringLiteral(", %1 deferred").arg(deferred);
    if (const int held = m_service.dispatcher() ? m_service.dispatcher()->digestWaitingCount() : 0; held > 0)
        text += QStringLiteral(", %1 waiting for a digest").arg(held);
    if (m_lastSend.isValid()) {
        text += QStringLiteral("; last send %1: %2")
                    .arg(QLocale::c().toString(m_lastSend, QStringLiteral("yyyy-MM-dd HH:mm:ss")), m_lastOutcome);
    } else {
        text += QStringLiteral("; nothing sent yet");
    }
    return text;
}

QString ServiceHeartbeat::missingSetup() const
{
    const AccountSettingsRecord &account = m_service.settings().AccountSettings;
    if (account.SmtpServer.isEmpty())
        return QStringLiteral("no SMTP server set");
    if (account.SenderEmail.isEmpty())
        return QStringLiteral("no sender address set");
    return {};
}

void ServiceHeartbeat::onSent()
{
    m_outcome = Outcome::Sent;
}

void ServiceHeartbeat::onFailed()
{
    m_outcome = Outcome::Failed;
}

// The counts change only here, once the send is over and its slot is free.
void ServiceHeartbeat::onFinished()
{
    if (m_outcome == Outcome::None)
        return;
    const bool sent = m_outcome == Outcome::Sent;
    if (m_outcome != Outcome::Deferred)
        (sent ? m_sent : m_failed) += m_alarmsInSend;
    m_alarmsInSend = 1;
    m_lastSend = QDateTime::currentDateTime();
    m_lastOutcome = sent ? QStringLiteral("sent")
                         : m_outcome == Outcome::Deferred ? QStringLiteral("deferred") : QStringLiteral("failed");
    m_outcome = Outcome::None;
    sendStatusIfChanged();
}

void ServiceHeartbeat::onTick()
{
    if (m_stopping)
        return;
    if (m_notifier.watchdogInterval().count() > 0)
        m_notifier.notify("WATCHDOG=1");
    sendStatusIfChanged();
}

void ServiceHeartbeat::onStopping()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_timer.stop();
    m_notifier.notify("STOPPING=1\nSTATUS=Stopping");
}

void ServiceHeartbeat::sendStatusIfChanged()
{
    if (m_stopping)
        return;
    const QString status = statusText();
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    m_notifier.notify("STATUS=" + status.toUtf8());
}

} // namespace corvane
