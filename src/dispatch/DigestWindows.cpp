#include "dispatch/DigestWindows.h"

#include "intake/NotificationQueue.h"
#include "mail/MailComponent.h"
#include "storage/Settings.h"

#include <algorithm>
#include <limits>

namespace corvane {

namespace {

// Kept free in a server's size limit for a digest's header lines.
constexpr qint64 HeaderReserve = 16 * 1024;

} // namespace

DigestWindows::DigestWindows(const NotificationQueue &queue, const Settings &settings,
                             const MailComponent &component, DeliveryBook &book, const Clock &clock)
    : m_queue(queue)
    , m_settings(settings)
    , m_component(component)
    , m_book(book)
    , m_clock(clock)
{
}

qint64 DigestWindows::windowMs() const
{
    return qint64(m_settings.AccountSettings.DigestSeconds) * 1000;
}

bool DigestWindows::enabled() const
{
    return windowMs() > 0;
}

qint64 DigestWindows::nowMs() const
{
    return m_clock().toMSecsSinceEpoch();
}

bool DigestWindows::holds(const QueuedEmail &entry) const
{
    const auto opened = m_openedMs.constFind(entry.Recipients);
    return opened != m_openedMs.constEnd() && nowMs() < *opened + windowMs();
}

int DigestWindows::waiting()
{
    // An idle tick without digests reads no clock.
    if (!enabled() || m_openedMs.isEmpty()) {
        m_openedMs.clear();
        return 0;
    }
    const qint64 now = nowMs();
    m_openedMs.removeIf([&](const QHash<QString, qint64>::iterator &it) { return now >= it.value() + windowMs(); });
    int held = 0;
    const QueuedEmailArray &entries = m_queue.emailQueue();
    for (int slot = 0; slot <= entries.upperBound() && !m_openedMs.isEmpty(); ++slot)
        if (entries.isPending(slot) && !m_book.holding(entries.at(slot).Id)
            && m_openedMs.contains(entries.at(slot).Recipients))
            ++held;
    return held;
}

qint64 DigestWindows::bodyLimit() const
{
    const qint64 server = m_component.serverSizeLimit();
    return server > 0 ? std::min(DigestFormat::DefaultMaxBodyBytes, server - HeaderReserve)
                      : DigestFormat::DefaultMaxBodyBytes;
}

std::vector<Digest> DigestWindows::build(std::vector<DigestAlarm> alarms, qint64 maxBodyBytes) const
{
    DigestFormat format;
    format.maxBodyBytes = maxBodyBytes;
    // As the message goes: HTML only with MIME (see MailRequest).
    format.html = m_settings.AccountSettings.UseHtml && m_settings.AccountSettings.UseMime;
    format.zone = m_clock().timeZone();
    return buildDigests(std::move(alarms), format);
}

Delivery &DigestWindows::gather(int slot)
{
    const QueuedEmailArray &queue = m_queue.emailQueue();
    const QString recipients = queue.at(slot).Recipients;
    const std::uint64_t walked = queue.at(slot).Id;
    std::vector<DigestAlarm> alarms;
    QHash<std::uint64_t, int> slotOfId;
    for (int other = 0; other <= queue.upperBound(); ++other) {
        if (!queue.isPending(other))
            continue;
        const QueuedEmail &entry = queue.at(other);
        if (entry.Recipients != recipients || !m_book.isFree(entry.Id))
            continue;
        alarms.push_back({entry.Id, entry.QueuedAtMs, entry.Subject, entry.Body});
        slotOfId.insert(entry.Id, other);
    }
    m_openedMs.insert(recipients, nowMs());

    Delivery *carrier = nullptr;
    for (Digest &digest : build(std::move(alarms), bodyLimit())) {
        std::vector<Delivery::Entry> entries;
        for (const std::uint64_t id : digest.ids)
            entries.push_back({id, slotOfId.value(id)});
        Delivery &delivery = entries.size() == 1 ? m_book.open(entries.front().id, entries.front().slot)
                                                 : m_book.openDigest(entries);
        delivery.subject = std::move(digest.subject);
        delivery.body = std::move(digest.body);
        delivery.bodyBytes = digest.bodyBytes;
        if (std::any_of(entries.begin(), entries.end(), [walked](const Delivery::Entry &e) { return e.id == walked; }))
            carrier = &delivery;
    }
    return *carrier;
}

void DigestWindows::remake(Delivery &delivery) const
{
    std::vector<DigestAlarm> alarms;
    for (const Delivery::Entry &member : delivery.entries) {
        const QueuedEmail &entry = m_queue.emailQueue().at(member.slot);
        alarms.push_back({entry.Id, entry.QueuedAtMs, entry.Subject, entry.Body});
    }
    std::vector<Digest> digests = build(std::move(alarms), std::numeric_limits<qint64>::max());
    delivery.subject = std::move(digests.front().subject);
    delivery.body = std::move(digests.front().body);
    delivery.bodyBytes = digests.front().bodyBytes;
}

bool DigestWindows::tooLarge(const Delivery &delivery, const MailOutcome &outcome) const
{
    if (!delivery.isDigest() || outcome.mayHaveBeenAccepted())
        return false;
    const qint64 server = m_component.serverSizeLimit();
    return outcome.code == 552 || outcome.enhancedCode == QLatin1String("5.3.4")
        || (server > 0 && delivery.bodyBytes + HeaderReserve > server);
}

void DigestWindows::reopen(const Delivery &delivery)
{
    m_openedMs.remove(m_queue.emailQueue().at(delivery.entries.front().slot).Recipients);
}

} // namespace corvane
