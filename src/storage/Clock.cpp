#include "storage/Clock.h"

#include <QTimeZone>

#include <memory>
#include <mutex>

namespace corvane {

namespace {

// QDateTime::currentDateTime() asks the C library for the local time, and with
// TZ unset glibc examines /etc/localtime on every call: a file-system call per
// log entry. The zone is read once instead, and again whenever the date in it
// changes, which also picks up a zone changed since by the administrator.
struct SystemZone {
    std::mutex mutex;
    QTimeZone zone;
    QDate day;

    QDateTime now()
    {
        const QDateTime utc = QDateTime::currentDateTimeUtc();
        const std::lock_guard<std::mutex> lock(mutex);
        if (zone.isValid()) {
            const QDateTime local = utc.toTimeZone(zone);
            if (local.date() == day)
                return local;
        }
        zone = QTimeZone::systemTimeZone();
        if (!zone.isValid())
            return utc.toLocalTime();
        const QDateTime local = utc.toTimeZone(zone);
        day = local.date();
        return local;
    }
};

} // namespace

Clock systemClock()
{
    // Copies of the clock share the zone they have read; the mail worker reads
    // the clock on its own thread.
    auto zone = std::make_shared<SystemZone>();
    return [zone] { return zone->now(); };
}

} // namespace corvane
