#include "dispatch/DeliveryBook.h"

namespace corvane {

void DeliveryBook::restore(const std::vector<QueueJournal::Entry> &entries)
{
    for (const QueueJournal::Entry &entry : entries) {
        if (!entry.sending && entry.attempts <= 0)
            continue; // nothing to remember: a message like a new one
        Delivery &delivery = m_records[entry.sequence];
        delivery.id = entry.sequence;
        // Tried at once after a restart, its count and first attempt kept, so
        // Retry_Hours still counts from that attempt.
        delivery.attempts = entry.attempts;
        delivery.firstAttemptMs = entry.firstAttemptMs;
        if (entry.attempts > 0)
            ++m_deferred;
        if (entry.sending) {
            // Perhaps empty, from an older journal: then a new one is fixed.
            delivery.messageId = entry.messageId;
            delivery.repeat = Delivery::Repeat::AfterRestart;
        }
    }
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

Delivery &DeliveryBook::open(std::uint64_t id, int slot)
{
    Delivery &delivery = m_records[id];
    delivery.id = id;
    delivery.slot = slot;
    return delivery;
}

void DeliveryBook::close(std::uint64_t id)
{
    const auto it = m_records.find(id);
    if (it == m_records.end())
        return;
    if (it->second.attempts > 0)
        --m_deferred;
    m_records.erase(it);
}

void DeliveryBook::defer(Delivery &delivery, qint64 nextTryMs)
{
    if (delivery.attempts++ == 0)
        ++m_deferred;
    delivery.nextTryMs = nextTryMs;
}

} // namespace corvane
