#pragma once

#include "storage/Clock.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace corvane {

// The daily activity log: "Corvane Log On yyyymmdd.TXT" in the log folder, one
// entry per call ("hh:mm:ss", two spaces, the message, CR LF), each written
// whole in one call so other programs can read the file at any time. The day's
// file stays open between entries (alarm storms write thousands a second); a
// new day, or the file deleted under us, opens it again by name. A failure
// loses the entry and nothing else, never part of it: callers are never
// disturbed by the log. Safe to use from several threads.
class ActivityLog {
public:
    ActivityLog(QString logFolder, Clock clock);
    ~ActivityLog();
    ActivityLog(ActivityLog &&) noexcept;
    ActivityLog &operator=(ActivityLog &&) noexcept;

    void WriteLog(const QString &message) const noexcept;

    // While one is alive, entries are gathered and written together when the
    // last one ends: a burst of entries costs one write instead of one each.
    // Each entry keeps its own time stamp; a new day ends the gathering early.
    class Batch {
    public:
        explicit Batch(const ActivityLog &log);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        const ActivityLog &m_log;
    };

    const QString &logFolder() const { return m_logFolder; }
    static QString fileNameFor(const QDate &date);
    QString filePathFor(const QDate &date) const;

private:
    void append(const QString &message) const;
    void appendToFile(const QDate &date, const char *entry, qsizetype size) const;
    void endBatch() const noexcept;
    struct OpenFile;
    void writeToFile(OpenFile &file, const QDate &date, const char *entries, qsizetype size) const;

    QString m_logFolder;
    Clock m_clock;
    // The file path up to the date: opening the day's file by name should
    // cost no more than the date.
    QString m_pathPrefix;
    std::unique_ptr<OpenFile> m_file;
};

} // namespace corvane
