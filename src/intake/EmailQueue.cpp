#include "intake/EmailQueue.h"

#include <stdexcept>
#include <utility>

namespace corvane {

namespace {

constexpr int kWordBits = 64;

int lowestSetBit(std::uint64_t word)
{
    return __builtin_ctzll(word);
}

} // namespace

QueuedEmailArray::QueuedEmailArray()
{
    const int words = (MaxUpperBound + 1 + kWordBits - 1) / kWordBits;
    m_freeBits.assign(static_cast<std::size_t>(words), 0);
    m_freeSummary.assign(static_cast<std::size_t>((words + kWordBits - 1) / kWordBits), 0);
    m_slots.reserve(InitialUpperBound + 1);
    grow();
}

int QueuedEmailArray::upperBound() const
{
    return static_cast<int>(m_slots.size()) - 1;
}

const QueuedEmail &QueuedEmailArray::at(int index) const
{
    if (index < 0 || index > upperBound())
        throw std::out_of_range("queue slot outside the array");
    return m_slots[static_cast<std::size_t>(index)];
}

bool QueuedEmailArray::isPending(int index) const
{
    if (index < 0 || index > upperBound())
        return false;
    const QueuedEmail &slot = m_slots[static_cast<std::size_t>(index)];
    return slot.Pending == -1 && slot.SendState == 0;
}

std::optional<int> QueuedEmailArray::lowestFreeSlot() const
{
    const int firstWord = m_lowestMaybeFree / kWordBits;
    const int summaryWords = static_cast<int>(m_freeSummary.size());
    for (int s = firstWord / kWordBits; s < summaryWords; ++s) {
        std::uint64_t summary = m_freeSummary[static_cast<std::size_t>(s)];
        if (s == firstWord / kWordBits)
            summary &= ~std::uint64_t{0} << (firstWord % kWordBits);
        if (summary == 0)
            continue;
        const int word = s * kWordBits + lowestSetBit(summary);
        const int index = word * kWordBits + lowestSetBit(m_freeBits[static_cast<std::size_t>(word)]);
        return index;
    }
    return std::nullopt;
}

std::optional<int> QueuedEmailArray::store(QueuedEmail entry)
{
    std::optional<int> slot = lowestFreeSlot();
    if (!slot) {
        if (upperBound() + GrowthStep > MaxUpperBound)
            return std::nullopt;
        slot = upperBound() + 1;
        grow();
    }
    entry.Pending = -1;
    entry.SendState = 0;
    m_slots[static_cast<std::size_t>(*slot)] = std::move(entry);
    markTaken(*slot);
    m_lowestMaybeFree = *slot + 1;
    ++m_pending;
    return slot;
}

void QueuedEmailArray::release(int index)
{
    if (index < 0 || index > upperBound())
        return;
    QueuedEmail &slot = m_slots[static_cast<std::size_t>(index)];
    if (slot.Pending == 0)
        return;
    slot = QueuedEmail{};
    markFree(index);
    if (index < m_lowestMaybeFree)
        m_lowestMaybeFree = index;
    --m_pending;
}

void QueuedEmailArray::grow()
{
    const int first = upperBound() + 1;
    const int added = m_slots.empty() ? InitialUpperBound + 1 : GrowthStep;
    m_slots.resize(m_slots.size() + static_cast<std::size_t>(added));
    for (int i = first; i <= upperBound(); ++i)
        markFree(i);
}

void QueuedEmailArray::markFree(int index)
{
    const int word = index / kWordBits;
    m_freeBits[static_cast<std::size_t>(word)] |= std::uint64_t{1} << (index % kWordBits);
    m_freeSummary[static_cast<std::size_t>(word / kWordBits)] |= std::uint64_t{1} << (word % kWordBits);
}

void QueuedEmailArray::markTaken(int index)
{
    const int word = index / kWordBits;
    std::uint64_t &bits = m_freeBits[static_cast<std::size_t>(word)];
    bits &= ~(std::uint64_t{1} << (index % kWordBits));
    if (bits == 0)
        m_freeSummary[static_cast<std::size_t>(word / kWordBits)] &= ~(std::uint64_t{1} << (word % kWordBits));
}

} // namespace corvane
