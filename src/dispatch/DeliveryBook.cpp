#include "dispatch/DeliveryBook.h"

#include <QHash>

#include <algorithm>

namespace corvane {

namespace {

int alarmsIn(const Delivery &delivery)
{
    return std::max<int>(1, int(delivery.entries.size()));
}

} // namespace

void DeliveryBook::restore(const std::vector<QueueJournal::Entry> &entries,
                           const std::function<int(std::uint64_t)> &slotOf)
{
    // Entries whose end of data went out under one Message-ID were one digest:
    // it goes again whole, with that Message-ID, so a receiver that drops the
    // copy loses nothing.
    QHash<QByteArray, std::vector<const QueueJournal::Entry *>> onTheWire;
    for (const QueueJournal::Entry &entry : entries)
        if (entry.sending && !entry.messageId.isEmpty())
            onTheWire[entry.messageId].push_back(&entry);

    for (const QueueJournal::Entry &entry : entries) {
        if (!entry.sending && entry.attempts <= 0)
            continue; // nothing to remember: a message like a new one
        const auto together = entry.sending ? onTheWire.constFind(entry.messageId) : onTheWire.constEnd();
        const bool inDigest = together != onTheWire.constEnd() && together->size() > 1;
        if (inDigest && together->front() != &entry)
            continue; // its digest's first entry made the record
        Delivery &delivery = record(entry.sequence);
        // Tried at once after a restart, its count and first attempt kept, so
        // Retry_Hours still counts from that attempt.
        delivery.attempts = entry.attempts;
        delivery.firstAttemptMs = entry.firstAttemptMs;
        if (inDigest) {
            for (const QueueJournal::Entry *member : *together) {
                delivery.entries.push_back({member->sequence, slotOf(member->sequence)});
                delivery.attempts = std::max(delivery.attempts, member->attempts);
                if (member->firstAttemptMs > 0)
                    delivery.firstAttemptMs = delivery.firstAttemptMs > 0
                                                  ? std::min(delivery.firstAttemptMs, member->firstAttemptMs)
                                                  : member->firstAttemptMs;
                if (member->sequence != entry.sequence)
                    m_digestOf[member->sequence] = entry.sequence;
            }
        } else {
            delivery.entries.push_back({entry.sequence, slotOf(entry.sequence)});
        }
        delivery.slot = delivery.entries.front().slot;
        if (delivery.attempts > 0)
            m_deferred += alarmsIn(delivery);
        if (entry.sending) {
            // Perhaps empty, from an older journal: then a new one is fixed.
            delivery.messageId = entry.messageId;
            delivery.repeat = Delivery::Repeat::AfterRestart;
        }
    }
}

Delivery &DeliveryBook::record(std::uint64_t id)
{
    Delivery &delivery = m_records[id];
    delivery.id = id;
    return delivery;
}

Delivery *DeliveryBook::find(std::uint64_t id)
{
    const auto it = m_records.find(id);
    return it == m_records.end() ? nullptr : &it->second;
}

const Delivery *DeliveryBook::find(std::uint64_t id) const
{
    const auto it = m_records.find(id);
    return it == m_records.end() ? nullptr : &it->second;
}

Delivery *DeliveryBook::holding(std::uint64_t entryId)
{
    const auto digest = m_digestOf.find(entryId);
    return find(digest == m_digestOf.end() ? entryId : digest->second);
}

const Delivery *DeliveryBook::holding(std::uint64_t entryId) const
{
    const auto digest = m_digestOf.find(entryId);
    return find(digest == m_digestOf.end() ? entryId : digest->second);
}

Delivery &DeliveryBook::open(std::uint64_t id, int slot)
{
    Delivery &delivery = record(id);
    delivery.slot = slot;
    if (delivery.entries.empty())
        delivery.entries.push_back({id, slot});
    return delivery;
}

bool DeliveryBook::isFree(std::uint64_t entryId) const
{
    const Delivery *delivery = holding(entryId);
    return !delivery || (!delivery->isDigest() && !delivery->inFlight && delivery->messageId.isEmpty());
}

Delivery &DeliveryBook::openDigest(const std::vector<Delivery::Entry> &entries)
{
    int attempts = 0;
    qint64 firstAttemptMs = 0;
    for (const Delivery::Entry &entry : entries) {
        const auto own = m_records.find(entry.id);
        if (own == m_records.end())
            continue;
        attempts = std::max(attempts, own->second.attempts);
        if (own->second.firstAttemptMs > 0)
            firstAttemptMs = firstAttemptMs > 0 ? std::min(firstAttemptMs, own->second.firstAttemptMs)
                                                : own->second.firstAttemptMs;
        forget(own);
    }
    Delivery &delivery = record(entries.front().id);
    delivery.slot = entries.front().slot;
    delivery.entries = entries;
    delivery.attempts = attempts;
    delivery.firstAttemptMs = firstAttemptMs;
    if (attempts > 0)
        m_deferred += alarmsIn(delivery);
    for (std::size_t i = 1; i < entries.size(); ++i)
        m_digestOf[entries[i].id] = delivery.id;
    return delivery;
}

void DeliveryBook::forget(std::unordered_map<std::uint64_t, Delivery>::iterator it)
{
    const Delivery &delivery = it->second;
    if (delivery.attempts > 0)
        m_deferred -= alarmsIn(delivery);
    for (const Delivery::Entry &entry : delivery.entries)
        if (entry.id != delivery.id)
            m_digestOf.erase(entry.id);
    m_records.erase(it);
}

void DeliveryBook::close(std::uint64_t id)
{
    const auto it = m_records.find(id);
    if (it != m_records.end())
        forget(it);
}

void DeliveryBook::defer(Delivery &delivery, qint64 nextTryMs)
{
    if (delivery.attempts++ == 0)
        m_deferred += alarmsIn(delivery);
    delivery.nextTryMs = nextTryMs;
}

} // namespace corvane
