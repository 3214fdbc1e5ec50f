#pragma once

#include "storage/Clock.h"

#include <QByteArray>
#include <QString>

namespace corvane {

// The daily activity log: "Corvane Log On yyyymmdd.TXT" in the log folder, one
// entry per call ("hh:mm:ss", two spaces, the message, CR LF). The file is
// opened, appended and closed for every entry so other programs can read it at
// any time. A failure loses the entry and nothing else, never part of it:
// callers are never disturbed by the log.
class ActivityLog {
public:
    ActivityLog(QString logFolder, Clock clock);

    void WriteLog(const QString &message) const noexcept;

    const QString &logFolder() const { return m_logFolder; }
    static QString fileNameFor(const QDate &date);
    QString filePathFor(const QDate &date) const;

private:
    void append(const QString &message) const;
    void appendToFile(const QDate &date, const char *entry, qsizetype size) const;

    QString m_logFolder;
    Clock m_clock;
    // The file path up to the date, in the file system's encoding: every entry
    // opens the file by name, and that should cost no more than the date.
    QByteArray m_encodedPathPrefix;
};

} // namespace corvane
