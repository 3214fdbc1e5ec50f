#pragma once

#include <QObject>
#include <QString>

namespace corvane {

class ActivityLog;
class MailComponent;

// Turns the mail component's events into what the operator sees and into log
// lines. The window connects its progress label and status list to the signals;
// without a window (tests, benchmarks) the log lines are still written.
class SendEvents : public QObject {
    Q_OBJECT
public:
    SendEvents(MailComponent &component, const ActivityLog &log, QObject *parent = nullptr);

    static QString progressText(int percentComplete); // "45% complete"

signals:
    void progressTextChanged(const QString &text); // new text for lblProgress
    void statusLineAppended(const QString &line);  // append to lstStatus, scroll, no selection

private:
    void onStatus(const QString &status);

    const ActivityLog &m_log;
};

} // namespace corvane
