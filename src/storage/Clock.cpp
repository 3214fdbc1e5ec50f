#include "storage/Clock.h"

#include <QTimeZone>

#include <algorithm>
#include <memory>
#include <mutex>

namespace corvane {

namespace {

constexpr qint64 kDayMs = 24 * 60 * 60 * 1000;

// QDateTime::currentDateTime() asks the C library for the local time, and with
// TZ unset glibc examines /etc/localtime on every call: a file-system call per
// log entry. Converting to a QTimeZone each time costs a zone lookup too. The
// offset from UTC is kept instead, until the zone's next transition or the next
// local midnight, whichever comes first; the zone itself is read again then,
// which also picks up a zone changed since by the administrator.
struct SystemZone {
    std::mutex mutex;
    qint64 validFrom = 0;
    qint64 validUntil = 0; // empty range: nothing read yet
    int offsetSeconds = 0;
    bool zoneKnown = false;

    QDateTime now()
    {
        const qint64 ms = QDateTime::currentMSecsSinceEpoch();
        const std::lock_guard<std::mutex> lock(mutex);
        if (ms < validFrom || ms >= validUntil)
            read(ms);
        if (!zoneKnown)
            return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toLocalTime();
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offsetSeconds);
    }

    void read(qint64 ms)
    {
        const QTimeZone zone = QTimeZone::systemTimeZone();
        zoneKnown = zone.isValid();
        // Without a zone the C library answers every call; try again in a minute.
        validFrom = ms;
        validUntil = ms + 60 * 1000;
        if (!zoneKnown)
            return;
        const QDateTime utc = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        offsetSeconds = zone.offsetFromUtc(utc);
        const qint64 localMs = ms + qint64(offsetSeconds) * 1000;
        const qint64 sinceMidnight = ((localMs % kDayMs) + kDayMs) % kDayMs;
        validUntil = ms + (kDayMs - sinceMidnight);
        const QTimeZone::OffsetData next = zone.nextTransition(utc);
        if (next.atUtc.isValid())
            validUntil = std::min(validUntil, next.atUtc.toMSecsSinceEpoch());
    }
};

} // namespace

Clock systemClock()
{
    // Copies of the clock share the offset they have read; the mail worker
    // reads the clock on its own thread.
    auto zone = std::make_shared<SystemZone>();
    return [zone] { return zone->now(); };
}

} // namespace corvane
