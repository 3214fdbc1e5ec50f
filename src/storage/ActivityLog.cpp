#include "storage/ActivityLog.h"

#include "storage/FileSystem.h"
#include "storage/TextCodec.h"

#include <QDir>
#include <QVarLengthArray>

#include <algorithm>
#include <mutex>
#include <utility>

// The log is written on every event, alarm storms included, so an entry costs
// one write and one fstat while the day's file is open, or a share of them
// when entries are gathered in a batch.

namespace corvane {

namespace {

const char kFileNamePrefix[] = "Corvane Log On ";

// "hh:mm:ss" and the two spaces before the message.
constexpr qsizetype kStampSize = 10;

char *putTwoDigits(char *out, int value)
{
    *out++ = static_cast<char>('0' + value / 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

// UTF-8 as QString::toUtf8 writes it, a lone surrogate as '?', into a buffer
// of at least three bytes per UTF-16 unit. Returns the end of what was written.
char *putUtf8(char *out, QStringView text)
{
    const char16_t *in = text.utf16();
    const char16_t *const end = in + text.size();
    while (in != end) {
        const char16_t unit = *in++;
        if (unit < 0x80) {
            *out++ = static_cast<char>(unit);
        } else if (unit < 0x800) {
            *out++ = static_cast<char>(0xC0 | (unit >> 6));
            *out++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (!QChar::isSurrogate(unit)) {
            *out++ = static_cast<char>(0xE0 | (unit >> 12));
            *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (unit & 0x3F));
        } else if (QChar::isHighSurrogate(unit) && in != end && QChar::isLowSurrogate(*in)) {
            const char32_t code = QChar::surrogateToUcs4(unit, *in++);
            *out++ = static_cast<char>(0xF0 | (code >> 18));
            *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out++ = '?';
        }
    }
    return out;
}

// The entry goes in whole or not at all. One write call, so another process
// appending to the same file never splits it; when the disk takes only part
// of it, that part is cut off again, or the next entry, written once there is
// room, would continue the broken line.
void writeEntry(AppendFile &file, const char *data, qsizetype size)
{
    const std::int64_t written = file.write(data, size);
    if (written > 0 && written < size)
        file.dropTail(written);
}

} // namespace

// The day's file, kept open from one entry to the next.
struct ActivityLog::OpenFile {
    std::mutex mutex;
    AppendFile file;
    QDate date;
    int batches = 0;       // Batch objects alive
    QByteArray gathered;   // their entries, all of one day
    QDate gatheredDate;
};

ActivityLog::ActivityLog(QString logFolder, Clock clock)
    : m_logFolder(std::move(logFolder))
    , m_clock(std::move(clock))
    , m_pathPrefix(QDir(m_logFolder).filePath(QLatin1String(kFileNamePrefix)))
    , m_file(std::make_unique<OpenFile>())
{
}

ActivityLog::~ActivityLog() = default;
ActivityLog::ActivityLog(ActivityLog &&) noexcept = default;
ActivityLog &ActivityLog::operator=(ActivityLog &&) noexcept = default;

QString ActivityLog::fileNameFor(const QDate &date)
{
    return QLatin1String(kFileNamePrefix) + date.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".TXT");
}

QString ActivityLog::filePathFor(const QDate &date) const
{
    return QDir(m_logFolder).filePath(fileNameFor(date));
}

void ActivityLog::WriteLog(const QString &message) const noexcept
{
    try {
        append(message);
    } catch (...) {
        // The entry is lost; the caller is never disturbed by its log.
    }
}

void ActivityLog::append(const QString &message) const
{
    // One reading of the clock names the file and stamps the entry, so an entry
    // written at 00:00:00 never lands in the previous day's file.
    const QDateTime now = m_clock();
    const QTime time = now.time();

    QVarLengthArray<char, 1024> entry(kStampSize + 3 * message.size() + 2);
    char *out = entry.data();
    if (time.isValid()) { // an invalid time has always been written as nothing
        out = putTwoDigits(out, time.hour());
        *out++ = ':';
        out = putTwoDigits(out, time.minute());
        *out++ = ':';
        out = putTwoDigits(out, time.second());
    }
    *out++ = ' ';
    *out++ = ' ';
    if (systemWritesUtf8()) {
        out = putUtf8(out, message);
    } else {
        // The ANSI code page on Windows: the log reads as older installations' did.
        const QByteArray encoded = encodeSystemCodePage(message, nullptr);
        const qsizetype at = out - entry.data();
        entry.resize(at + encoded.size() + 2);
        out = std::copy(encoded.begin(), encoded.end(), entry.data() + at);
    }
    *out++ = '\r';
    *out++ = '\n';
    appendToFile(now.date(), entry.constData(), out - entry.constData());
}

ActivityLog::Batch::Batch(const ActivityLog &log)
    : m_log(log)
{
    if (!log.m_file)
        return;
    const std::lock_guard<std::mutex> lock(log.m_file->mutex);
    ++log.m_file->batches;
}

ActivityLog::Batch::~Batch()
{
    m_log.endBatch();
}

void ActivityLog::endBatch() const noexcept
{
    if (!m_file)
        return;
    OpenFile &file = *m_file;
    const std::lock_guard<std::mutex> lock(file.mutex);
    if (--file.batches > 0 || file.gathered.isEmpty())
        return;
    const QByteArray gathered = std::exchange(file.gathered, QByteArray());
    try {
        writeToFile(file, file.gatheredDate, gathered.constData(), gathered.size());
    } catch (...) {
        // The entries are lost; the caller is never disturbed by its log.
    }
}

void ActivityLog::appendToFile(const QDate &date, const char *entry, qsizetype size) const
{
    if (!m_file) // moved from
        return;
    OpenFile &file = *m_file;
    const std::lock_guard<std::mutex> lock(file.mutex);
    if (file.batches > 0) {
        if (!file.gathered.isEmpty() && file.gatheredDate != date) {
            const QByteArray gathered = std::exchange(file.gathered, QByteArray());
            writeToFile(file, file.gatheredDate, gathered.constData(), gathered.size());
        }
        file.gathered.append(entry, size);
        file.gatheredDate = date;
        return;
    }
    writeToFile(file, date, entry, size);
}

// With the file's mutex held.
void ActivityLog::writeToFile(OpenFile &file, const QDate &date, const char *entry, qsizetype size) const
{
    // Still the file that carries the day's name? One deleted (by hand, or
    // with its folder) would swallow every later entry unseen.
    if (file.file.isOpen() && (file.date != date || !file.file.stillLinked()))
        file.file.close();
    if (!file.file.isOpen()) {
        QString path;
        int year = 0, month = 0, day = 0;
        date.getDate(&year, &month, &day);
        if (date.isValid() && year >= 0 && year <= 9999) {
            char name[] = "yyyymmdd.TXT";
            putTwoDigits(putTwoDigits(putTwoDigits(putTwoDigits(name, year / 100), year % 100), month), day);
            path = m_pathPrefix + QLatin1String(name);
        } else {
            // Dates no clock should give are named as Qt spells them.
            path = filePathFor(date);
        }

        if (!file.file.open(path, true) && file.file.folderMissing()) {
            if (!QDir().mkpath(m_logFolder))
                return;
            file.file.open(path, true);
        }
        if (!file.file.isOpen())
            return;
        file.date = date;
    }
    writeEntry(file.file, entry, size);
}

} // namespace corvane
