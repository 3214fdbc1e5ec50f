#include "storage/QueueJournal.h"

#include "storage/FileSystem.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <zlib.h>

#include <limits>
#include <utility>

namespace corvane {

namespace {

constexpr char kStored = 1;
constexpr char kFreed = 2;
constexpr char kSending = 3;
constexpr char kDeferred = 4;
constexpr int kRecordHead = 9; // type, length, CRC
// Far above any message a datagram can carry; a longer length is damage.
constexpr quint32 kMaxPayload = 16 * 1024 * 1024;

quint32 readLE32(const char *p)
{
    return static_cast<quint32>(static_cast<unsigned char>(p[0]))
        | static_cast<quint32>(static_cast<unsigned char>(p[1])) << 8
        | static_cast<quint32>(static_cast<unsigned char>(p[2])) << 16
        | static_cast<quint32>(static_cast<unsigned char>(p[3])) << 24;
}

void appendLE32(QByteArray &out, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

quint32 checksum(const char *head5, const char *payload, quint32 length)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(head5), 5);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(payload), static_cast<uInt>(length));
    return static_cast<quint32>(crc);
}

QByteArray encodeRecord(char type, const QByteArray &payload)
{
    QByteArray record;
    record.reserve(kRecordHead + payload.size());
    record.append(type);
    appendLE32(record, static_cast<quint32>(payload.size()));
    appendLE32(record, checksum(record.constData(), payload.constData(), static_cast<quint32>(payload.size())));
    record.append(payload);
    return record;
}

QDataStream &configured(QDataStream &stream)
{
    stream.setVersion(QDataStream::Qt_6_4);
    stream.setByteOrder(QDataStream::LittleEndian);
    return stream;
}

bool decodeStored(const QByteArray &payload, QueueJournal::Entry *entry)
{
    QDataStream in(payload);
    configured(in);
    quint64 sequence = 0;
    qint64 queuedAt = 0;
    in >> sequence >> queuedAt >> entry->recipients >> entry->subject >> entry->body;
    entry->sequence = sequence;
    entry->queuedAtMs = queuedAt;
    return in.status() == QDataStream::Ok && in.atEnd();
}

bool decodeFreed(const QByteArray &payload, std::uint64_t *sequence)
{
    QDataStream in(payload);
    configured(in);
    quint64 value = 0;
    in >> value;
    *sequence = value;
    return in.status() == QDataStream::Ok && in.atEnd();
}

bool decodeSending(const QByteArray &payload, std::uint64_t *sequence, QByteArray *messageId)
{
    QDataStream in(payload);
    configured(in);
    quint64 value = 0;
    in >> value >> *messageId;
    *sequence = value;
    return in.status() == QDataStream::Ok && in.atEnd();
}

bool decodeDeferred(const QByteArray &payload, std::uint64_t *sequence, qint64 *firstAttemptMs, qint32 *attempts)
{
    QDataStream in(payload);
    configured(in);
    quint64 value = 0;
    in >> value >> *firstAttemptMs >> *attempts;
    *sequence = value;
    return in.status() == QDataStream::Ok && in.atEnd() && *attempts > 0;
}

} // namespace

QueueJournal::QueueJournal(QString folder, Clock clock, Report report, Options options)
    : m_folder(std::move(folder))
    , m_clock(std::move(clock))
    , m_report(std::move(report))
    , m_options(options)
{
}

QueueJournal::QueueJournal(QString folder, Clock clock, Report report)
    : QueueJournal(std::move(folder), std::move(clock), std::move(report), Options{})
{
}

QueueJournal::~QueueJournal()
{
    close();
}

QString QueueJournal::filePath() const
{
    return QDir(m_folder).filePath(QLatin1String(FileName));
}

QByteArray QueueJournal::header()
{
    return QByteArrayLiteral("CORVANE SPOOL 1\n");
}

QByteArray QueueJournal::encodeStored(const Entry &entry)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    configured(out);
    out << quint64{entry.sequence} << qint64{entry.queuedAtMs} << entry.recipients << entry.subject
        << entry.body;
    return encodeRecord(kStored, payload);
}

QByteArray QueueJournal::encodeFreed(std::uint64_t sequence)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    configured(out);
    out << quint64{sequence};
    return encodeRecord(kFreed, payload);
}

QByteArray QueueJournal::encodeSending(std::uint64_t sequence, const QByteArray &messageId)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    configured(out);
    out << quint64{sequence} << messageId;
    return encodeRecord(kSending, payload);
}

QByteArray QueueJournal::encodeDeferred(std::uint64_t sequence, qint64 firstAttemptMs, int attempts)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    configured(out);
    out << quint64{sequence} << qint64{firstAttemptMs} << qint32{attempts};
    return encodeRecord(kDeferred, payload);
}

QByteArray QueueJournal::encodeEntry(const Entry &entry)
{
    QByteArray bytes = encodeStored(entry);
    if (entry.sending)
        bytes += encodeSending(entry.sequence, entry.messageId);
    if (entry.attempts > 0)
        bytes += encodeDeferred(entry.sequence, entry.firstAttemptMs, entry.attempts);
    return bytes;
}

QueueJournal::Readout QueueJournal::parse(const QByteArray &bytes)
{
    Readout readout;
    const QByteArray head = header();
    if (bytes.size() < head.size()) {
        // A crash while the file was being created leaves a piece of the header.
        if (!head.startsWith(bytes))
            readout.damage = Damage::Unreadable;
        else if (!bytes.isEmpty())
            readout.damage = Damage::TornTail;
        return readout;
    }
    if (!bytes.startsWith(head)) {
        readout.damage = Damage::Unreadable;
        return readout;
    }

    std::map<std::uint64_t, Entry> pending;
    std::uint64_t lastStored = 0;
    qsizetype pos = head.size();
    const qsizetype size = bytes.size();
    while (pos < size) {
        if (size - pos < kRecordHead) {
            readout.damage = Damage::TornTail;
            break;
        }
        const char *record = bytes.constData() + pos;
        const char type = record[0];
        const quint32 length = readLE32(record + 1);
        if (static_cast<quint64>(length) > static_cast<quint64>(size - pos - kRecordHead)) {
            // Runs past the end: the write of the last record was cut short.
            readout.damage = Damage::TornTail;
            break;
        }
        const QByteArray payload(record + kRecordHead, static_cast<qsizetype>(length));
        bool good = length <= kMaxPayload && readLE32(record + 5) == checksum(record, payload.constData(), length);
        if (good && type == kStored) {
            Entry entry;
            // The last number is never handed out: the next one would wrap to
            // zero and every message stored after it would read as out of order.
            good = decodeStored(payload, &entry) && entry.sequence > lastStored
                && entry.sequence < std::numeric_limits<std::uint64_t>::max();
            if (good) {
                lastStored = entry.sequence;
                pending.emplace(entry.sequence, std::move(entry));
            }
        } else if (good && type == kFreed) {
            std::uint64_t sequence = 0;
            good = decodeFreed(payload, &sequence);
            if (good)
                pending.erase(sequence);
        } else if (good && type == kSending) {
            std::uint64_t sequence = 0;
            QByteArray messageId;
            good = decodeSending(payload, &sequence, &messageId);
            if (const auto it = pending.find(sequence); good && it != pending.end()) {
                it->second.sending = true;
                it->second.messageId = messageId;
            }
        } else if (good && type == kDeferred) {
            std::uint64_t sequence = 0;
            qint64 firstAttemptMs = 0;
            qint32 attempts = 0;
            good = decodeDeferred(payload, &sequence, &firstAttemptMs, &attempts);
            if (const auto it = pending.find(sequence); good && it != pending.end()) {
                it->second.firstAttemptMs = firstAttemptMs;
                it->second.attempts = attempts;
            }
        } else {
            good = false;
        }
        const qsizetype next = pos + kRecordHead + static_cast<qsizetype>(length);
        if (!good) {
            // A bad record that ends the file is one whose blocks never made it
            // to the disk; one with records after it is damage.
            readout.damage = next == size ? Damage::TornTail : Damage::Corrupt;
            break;
        }
        pos = next;
    }
    readout.intactBytes = pos;
    readout.nextSequence = lastStored + 1;
    readout.pending.reserve(pending.size());
    for (auto &item : pending)
        readout.pending.push_back(std::move(item.second));
    return readout;
}

std::vector<QueueJournal::Entry> QueueJournal::open()
{
    if (m_opened)
        return {};
    m_opened = true;

    // Messages can hold anything an alarm says: the folder is for the owner only.
    if (Result created = fs::createPrivateFolder(m_folder); !created) {
        goMemoryOnly(QStringLiteral("cannot create %1: %2").arg(m_folder, created.error));
        return {};
    }

    QFile file(filePath());
    Readout readout;
    if (file.exists()) {
        if (file.open(QIODevice::ReadOnly)) {
            readout = parse(file.readAll());
            if (file.error() != QFileDevice::NoError)
                readout = Readout{Damage::Unreadable, {}, 0, 1};
        } else {
            readout.damage = Damage::Unreadable;
        }
        file.close();
    }

    if (readout.damage == Damage::Unreadable) {
        setAside(QStringLiteral("not a queue journal, or it cannot be read; starting with an empty queue"));
    } else if (readout.damage == Damage::Corrupt) {
        setAside(QStringLiteral("a damaged record at byte %1; the %2 messages pending before it are kept")
                     .arg(readout.intactBytes)
                     .arg(readout.pending.size()));
    }

    for (Entry &entry : readout.pending)
        m_pending.emplace(entry.sequence, entry);
    m_nextSequence = readout.nextSequence;
    // Written anew: the torn tail or the set-aside file must not be appended to.
    if (!rewrite())
        goMemoryOnly(m_lastError);
    return std::move(readout.pending);
}

void QueueJournal::setAside(const QString &why)
{
    const QString path = filePath();
    const QString stamp = m_clock().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (QFile::rename(path, aside)) {
        m_report(QStringLiteral("Spool: %1: %2; set aside as %3").arg(path, why, QFileInfo(aside).fileName()));
    } else {
        // Left where it is, it would be replaced by the new journal below.
        m_report(QStringLiteral("Spool: %1: %2; it could not be set aside and is replaced").arg(path, why));
    }
}

bool QueueJournal::rewrite()
{
    // The new file holds every pending message: records not yet written are
    // in it already, and written after it they would repeat what it says.
    m_gathered.clear();
    m_file.close();
    const QString path = filePath();
    QByteArray bytes = header();
    for (const auto &item : m_pending)
        bytes += encodeEntry(item.second);
    // Messages can hold anything an alarm says: for the owner only.
    if (Result replaced = fs::replaceFile(path, bytes, fs::Permissions::OwnerOnly); !replaced) {
        m_lastError = replaced.error;
        return false;
    }
    if (!m_file.open(path, false)) {
        m_lastError = fs::lastErrorText();
        return false;
    }
    m_size = bytes.size();
    m_compactAt = std::max(m_options.compactAbove, 2 * m_size);
    m_unsynced = false;
    ++m_syncs;
    return true;
}

void QueueJournal::goMemoryOnly(const QString &why)
{
    m_file.close();
    m_unsynced = false;
    m_sinceFailure.start();
    if (m_failing)
        return;
    m_failing = true;
    m_report(QStringLiteral("Spool: the queue journal %1 cannot be written (%2); queued messages are kept "
                            "in memory only and acknowledged at once until it can")
                 .arg(filePath(), why));
}

void QueueJournal::retryIfDue()
{
    if (!m_failing || m_closed || !m_opened)
        return;
    if (m_sinceFailure.isValid() && m_sinceFailure.elapsed() < m_options.retryAfter.count())
        return;
    if (!rewrite()) {
        m_file.close();
        m_sinceFailure.start();
        return;
    }
    m_failing = false;
    m_report(QStringLiteral("Spool: the queue journal %1 is written again").arg(filePath()));
}

QueueJournal::Batch::Batch(QueueJournal &journal)
    : m_journal(journal)
{
    ++m_journal.m_batches;
}

QueueJournal::Batch::~Batch()
{
    if (--m_journal.m_batches == 0)
        m_journal.writeGathered();
}

void QueueJournal::append(const QByteArray &record)
{
    if (m_closed || !m_opened)
        return;
    m_gathered += record;
    if (m_batches == 0)
        writeGathered();
}

void QueueJournal::writeGathered()
{
    if (m_gathered.isEmpty())
        return;
    if (m_closed || !m_opened) {
        m_gathered.clear();
        return;
    }
    retryIfDue(); // a rewrite there leaves nothing gathered
    // These records are written now or never: a journal running memory only
    // has nothing to write them to, and the rewrite that ends that state puts
    // every pending message in the file anyway.
    const QByteArray record = std::exchange(m_gathered, QByteArray());
    if (!m_file.isOpen() || record.isEmpty())
        return;
    const char *data = record.constData();
    qsizetype left = record.size();
    while (left > 0) {
        const std::int64_t written = m_file.write(data, left);
        if (written <= 0) {
            goMemoryOnly(fs::lastErrorText());
            return;
        }
        data += written;
        left -= written;
        m_size += written;
    }
    m_unsynced = true;
    if (m_size > std::max(m_options.compactAbove, m_compactAt) && !rewrite())
        goMemoryOnly(m_lastError);
}

std::uint64_t QueueJournal::recordStored(const QString &recipients, const QString &subject,
                                         const QString &body, qint64 queuedAtMs)
{
    Entry entry;
    entry.sequence = m_nextSequence++;
    entry.queuedAtMs = queuedAtMs != 0 ? queuedAtMs : m_clock().toMSecsSinceEpoch();
    entry.recipients = recipients;
    entry.subject = subject;
    entry.body = body;
    const QByteArray record = encodeStored(entry);
    m_pending.emplace(entry.sequence, std::move(entry));
    append(record);
    return m_nextSequence - 1;
}

void QueueJournal::recordFreed(std::uint64_t sequence)
{
    if (m_closed || m_pending.erase(sequence) == 0)
        return;
    if (m_pending.empty() && m_file.isOpen() && m_size > m_options.compactWhenEmptyAbove) {
        // The queue has emptied: the cheapest moment to start the file afresh.
        // Not for a few records, though: two fsyncs and a rename each time a
        // busy queue runs dry would cost more than the space they give back.
        if (!rewrite())
            goMemoryOnly(m_lastError);
        return;
    }
    append(encodeFreed(sequence));
}

void QueueJournal::recordSending(std::uint64_t sequence, const QByteArray &messageId)
{
    const auto it = m_pending.find(sequence);
    if (m_closed || it == m_pending.end())
        return;
    it->second.sending = true;
    it->second.messageId = messageId;
    append(encodeSending(sequence, messageId));
}

void QueueJournal::recordDeferred(std::uint64_t sequence, qint64 firstAttemptMs, int attempts)
{
    const auto it = m_pending.find(sequence);
    if (m_closed || it == m_pending.end() || attempts <= 0)
        return;
    it->second.firstAttemptMs = firstAttemptMs;
    it->second.attempts = attempts;
    append(encodeDeferred(sequence, firstAttemptMs, attempts));
}

bool QueueJournal::sync()
{
    if (m_closed || !m_opened)
        return false;
    retryIfDue();
    if (!m_file.isOpen())
        return false;
    writeGathered();
    if (!m_file.isOpen())
        return false;
    if (!m_unsynced)
        return true;
    if (!m_file.syncData()) {
        goMemoryOnly(fs::lastErrorText());
        return false;
    }
    m_unsynced = false;
    ++m_syncs;
    return true;
}

void QueueJournal::close()
{
    if (m_closed)
        return;
    writeGathered();
    m_closed = true;
    if (m_file.isOpen() && m_unsynced)
        (void)m_file.syncData();
    m_file.close();
}

} // namespace corvane
