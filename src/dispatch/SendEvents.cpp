#include "dispatch/SendEvents.h"

#include "mail/MailComponent.h"
#include "storage/ActivityLog.h"

namespace corvane {

SendEvents::SendEvents(MailComponent &component, const ActivityLog &log, QObject *parent)
    : QObject(parent)
    , m_log(log)
{
    connect(&component, &MailComponent::Progress, this,
            [this](int percentComplete) { emit progressTextChanged(progressText(percentComplete)); });
    connect(&component, &MailComponent::Status, this, &SendEvents::onStatus);
    connect(&component, &MailComponent::SendSuccesful, this,
            [this] { emit progressTextChanged(QString()); });
    // The explanation is deliberately dropped: the component has already said
    // what went wrong through its Status lines, which are logged.
    connect(&component, &MailComponent::SendFailed, this,
            [this](const QString &) { emit progressTextChanged(QString()); });
}

QString SendEvents::progressText(int percentComplete)
{
    return QString::number(percentComplete) + QStringLiteral("% complete");
}

void SendEvents::onStatus(const QString &status)
{
    emit statusLineAppended(status);
    m_log.WriteLog(QStringLiteral("Status:") + status);
}

} // namespace corvane
