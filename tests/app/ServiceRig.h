#pragma once

#include "app/Service.h"

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace corvane::test {

// The entries of every log file in a folder without their time stamps, oldest first.
QStringList logMessagesIn(const QString &logFolder);

// A service in a temporary "executable folder" on free ports, with a clock the
// test sets and counts.
class ServiceRig {
public:
    explicit ServiceRig(std::chrono::milliseconds tickInterval = std::chrono::milliseconds(500));

    QString folder() const { return m_dir.path(); }
    ServiceOptions &options() { return m_options; }
    Service &service();   // built on first use from options()
    bool start(QString *error = nullptr);

    void setNow(const QDateTime &now) { m_clock->now = now; }
    int clockReadings() const { return m_clock->readings; }

    // Log entries without their time stamps, oldest first.
    QStringList logMessages() const;
    int countLogged(const QString &message) const;

private:
    struct ClockState {
        QDateTime now = QDateTime(QDate(2026, 7, 4), QTime(15, 6, 7));
        int readings = 0;
    };

    QTemporaryDir m_dir;
    std::shared_ptr<ClockState> m_clock = std::make_shared<ClockState>();
    ServiceOptions m_options;
    std::unique_ptr<Service> m_service;
};

} // namespace corvane::test
