#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

struct QueuedEmail {
    std::int16_t Pending = 0;   // -1 waiting for the dispatcher, 0 free
    std::uint8_t SendState = 0; // always 0; the dispatcher sends only entries with 0
    QString Recipients;         // accepted addresses joined by "; "
    QString Subject;
    QString Body;
    // The message's one id from the queue to its outcome, given when it is
    // stored: its journal sequence, or a count of its own without a journal.
    // Never 0 in a pending slot.
    std::uint64_t Id = 0;
    // When it was accepted, milliseconds since the epoch (UTC): a digest lists
    // its alarms with their times.
    std::int64_t QueuedAtMs = 0;
};

// The growable slot array behind the queue: indices 0..upperBound(), starting at
// 0..100, growing by exactly 100 and never shrinking. A new message takes the
// lowest free slot, which may lie below messages queued earlier.
class QueuedEmailArray {
public:
    static constexpr int InitialUpperBound = 100;
    static constexpr int GrowthStep = 100;
    static constexpr int MaxUpperBound = 32700; // indices are 16-bit signed

    QueuedEmailArray();

    int upperBound() const;
    int size() const { return upperBound() + 1; }
    const QueuedEmail &at(int index) const; // throws std::out_of_range outside 0..upperBound()
    bool isPending(int index) const;        // Pending -1 and SendState 0; false outside the array

    // Stores the entry in the lowest free slot, growing by 100 when every slot is
    // taken. Returns the slot, or nothing when the array is at its capacity
    // limit (then nothing changes). The entry is stored as pending whatever
    // Pending/SendState it carried.
    std::optional<int> store(QueuedEmail entry);

    // Writes the empty entry back; the slot is free for the next message.
    // Indices outside the array and free slots are left alone.
    void release(int index);

    int pendingCount() const { return m_pending; }
    // Every slot is pending and the array cannot grow: store() would fail.
    bool isFull() const { return m_pending == size() && upperBound() + GrowthStep > MaxUpperBound; }

    // The slot the next store() would take, or nothing when growth is needed.
    std::optional<int> lowestFreeSlot() const;

private:
    // Free slots are tracked as set bits, with a summary word per 64 words, so
    // the lowest free slot is found with a handful of bit scans instead of a
    // walk over every pending entry. 32,701 slots need 512 words and 8 summary
    // words.
    void markFree(int index);
    void markTaken(int index);
    void grow();

    std::vector<QueuedEmail> m_slots;
    std::vector<std::uint64_t> m_freeBits;
    std::vector<std::uint64_t> m_freeSummary;
    int m_lowestMaybeFree = 0; // no slot below this index is free
    int m_pending = 0;
};

} // namespace corvane
