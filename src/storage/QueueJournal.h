#pragma once

#include "storage/Clock.h"
#include "storage/FileSystem.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace corvane {

// The write-ahead journal of the notification queue, so that an acknowledged
// message survives a close, a crash or a power cut. One file, "queue.journal",
// in its own folder (Spool/ beside the executable, owner only):
//
//   header  "CORVANE SPOOL 1\n"
//   record  type (1 byte) | payload length (4 bytes LE) | CRC-32 (4 bytes LE) | payload
//
// The CRC covers type, length and payload. A "stored" record holds everything
// needed to send the message again; a "sending" record says that its end of
// data is about to go to a server, with its Message-ID; a "deferred" record
// says that an attempt met a passing failure and the message waits for its next
// try, with the time of its first attempt and how many were made; a "freed"
// record names the stored record the server accepted or that is done with. The
// messages pending are the stored records without a freed one, in the order
// they were stored.
//
// Records are written through at once (a killed process loses nothing); sync()
// makes them durable across a power cut and is what an acknowledgement waits
// for. A journal that cannot be written never stops the caller: it falls back
// to memory only, reports that once, and tries the disk again later.
class QueueJournal {
public:
    struct Entry {
        std::uint64_t sequence = 0;
        qint64 queuedAtMs = 0; // UTC, milliseconds since the epoch
        QString recipients;
        QString subject;
        QString body;
        bool sending = false;  // its end of data may have reached a server
        QByteArray messageId;  // the Message-ID it went with then
        qint64 firstAttemptMs = 0; // UTC, milliseconds since the epoch; 0 until deferred
        int attempts = 0;          // attempts that ended deferred
    };

    enum class Damage {
        None,       // every byte accounted for
        TornTail,   // the last record is incomplete: a crash in mid-write
        Corrupt,    // a bad record with intact data after it
        Unreadable, // not a journal at all
    };

    struct Readout {
        Damage damage = Damage::None;
        std::vector<Entry> pending; // in the order they were stored
        qint64 intactBytes = 0;     // length of the undamaged beginning
        std::uint64_t nextSequence = 1;
    };

    struct Options {
        qint64 compactAbove = 4 * 1024 * 1024;         // bytes
        qint64 compactWhenEmptyAbove = 1024 * 1024;    // bytes, once the queue is empty
        std::chrono::milliseconds retryAfter{10000}; // after a failed write
    };

    using Report = std::function<void(const QString &)>;

    static constexpr const char *FileName = "queue.journal";

    QueueJournal(QString folder, Clock clock, Report report, Options options);
    QueueJournal(QString folder, Clock clock, Report report);
    ~QueueJournal();
    QueueJournal(const QueueJournal &) = delete;
    QueueJournal &operator=(const QueueJournal &) = delete;

    // Reads what the last run left, sets damage aside (reported), writes the
    // journal anew with the pending messages and keeps it open for appending.
    // Returns the pending messages in their original order.
    std::vector<Entry> open();

    // Appends a stored record; returns its sequence number. The message was
    // accepted at `queuedAtMs` (milliseconds since the epoch), or now.
    std::uint64_t recordStored(const QString &recipients, const QString &subject, const QString &body,
                               qint64 queuedAtMs = 0);
    // Appends a freed record for a sequence number from recordStored() or open().
    void recordFreed(std::uint64_t sequence);
    // Appends a sending record: after a crash the message is known to have
    // perhaps arrived already, and goes again with the same Message-ID.
    void recordSending(std::uint64_t sequence, const QByteArray &messageId);
    // Appends a deferred record: the message stays pending and keeps, across
    // a restart, when it was first tried and how often.
    void recordDeferred(std::uint64_t sequence, qint64 firstAttemptMs, int attempts);

    // Makes every record so far durable. Returns true when they are on disk,
    // false while the journal runs memory only (the caller goes on regardless).
    bool sync();

    // No record is written after this; what is pending stays for the next open().
    void close();

    // While one is alive, records are gathered and written together when the
    // last one ends (or at sync() or close(), whichever comes first): a batch
    // of messages costs one write instead of one each.
    class Batch {
    public:
        explicit Batch(QueueJournal &journal);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        QueueJournal &m_journal;
    };

    bool isDurable() const { return m_file.isOpen(); }
    std::size_t pendingCount() const { return m_pending.size(); }
    std::uint64_t syncCount() const { return m_syncs; }
    QString filePath() const;

    // The pure reader, for open() and the fuzzer.
    static Readout parse(const QByteArray &bytes);
    static QByteArray header();
    static QByteArray encodeStored(const Entry &entry);
    static QByteArray encodeFreed(std::uint64_t sequence);
    static QByteArray encodeSending(std::uint64_t sequence, const QByteArray &messageId);
    static QByteArray encodeDeferred(std::uint64_t sequence, qint64 firstAttemptMs, int attempts);
    // Everything known of one pending message, as a rewrite puts it in the file.
    static QByteArray encodeEntry(const Entry &entry);

private:
    void append(const QByteArray &record);
    void writeGathered();
    bool rewrite(); // atomic, with only the pending messages; m_lastError says why not
    void goMemoryOnly(const QString &why);
    void retryIfDue();
    void setAside(const QString &why);

    QString m_folder;
    Clock m_clock;
    Report m_report;
    Options m_options;
    std::map<std::uint64_t, Entry> m_pending;
    std::uint64_t m_nextSequence = 1;
    AppendFile m_file;
    qint64 m_size = 0;
    // The size that calls for the next rewrite: twice what the last one wrote,
    // so a long queue that is still all pending is not rewritten per message.
    qint64 m_compactAt = 0;
    bool m_opened = false;
    bool m_closed = false;
    bool m_unsynced = false;
    int m_batches = 0;      // Batch objects alive
    QByteArray m_gathered;  // their records, not yet written
    bool m_failing = false; // memory only after a failed write
    QElapsedTimer m_sinceFailure;
    QString m_lastError;
    std::uint64_t m_syncs = 0;
};

} // namespace corvane
