#include "storage/ActivityLog.h"

#include <QDir>
#include <QFile>

#include <utility>

namespace corvane {

ActivityLog::ActivityLog(QString logFolder, Clock clock)
    : m_logFolder(std::move(logFolder))
    , m_clock(std::move(clock))
{
}

QString ActivityLog::fileNameFor(const QDate &date)
{
    return QStringLiteral("Corvane Log On ") + date.toString(QStringLiteral("yyyyMMdd"))
        + QStringLiteral(".TXT");
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
    QFile file(filePathFor(now.date()));

    // No QIODevice::Text: the entry's CR LF goes to disk byte for byte.
    const auto mode = QIODevice::WriteOnly | QIODevice::Append;
    if (!file.open(mode)) {
        if (QDir(m_logFolder).exists() || !QDir().mkpath(m_logFolder) || !file.open(mode))
            return;
    }
    QByteArray entry = now.time().toString(QStringLiteral("HH:mm:ss")).toLatin1();
    entry += "  ";
    entry += message.toUtf8();
    entry += "\r\n";
    file.write(entry);
    file.close();
}

} // namespace corvane
