#include "dispatch/DigestBuilder.h"

#include "mail/MailEncoding.h"

#include <QDateTime>
#include <QHash>
#include <QLocale>

#include <algorithm>

namespace corvane {

namespace {

// Room kept in every part for its first line, which names the part and is
// written once the parts are known.
constexpr qint64 IntroReserve = 256;

// Alarms with the same subject and text, shown once where the first stands.
struct Entry {
    std::vector<std::size_t> alarms; // indices into the sorted alarms, in order
    QString text;                    // as the body shows it
    qint64 bytes = 0;                // as it goes to the server
};

qint64 encodedSize(const QString &text)
{
    // Quoted-printable works line by line and every piece ends a line, so the
    // pieces' sizes add up to the body's.
    return mail::encodeQuotedPrintable(mail::normaliseLineEnds(text.toUtf8())).size();
}

// A subject is one line: its line breaks must not make a line of the body
// that reads like another alarm.
QString oneLine(const QString &text)
{
    return mail::replaceControls(text);
}

class Writer {
public:
    Writer(const std::vector<DigestAlarm> &alarms, const DigestFormat &format)
        : m_alarms(alarms), m_format(format)
    {
        // Times of day, unless the alarms span more than one day.
        const QDate first = localTime(alarms.front().queuedAtMs).date();
        const QDate last = localTime(alarms.back().queuedAtMs).date();
        m_timeFormat = first == last ? QStringLiteral("HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm:ss");
    }

    QString time(qint64 ms) const { return QLocale::c().toString(localTime(ms), m_timeFormat); }

    QString entryText(const Entry &entry) const
    {
        const DigestAlarm &first = m_alarms[entry.alarms.front()];
        QString when = time(first.queuedAtMs);
        if (entry.alarms.size() > 1)
            when = QStringLiteral("\u00D7%1, %2 to %3")
                       .arg(entry.alarms.size())
                       .arg(when, time(m_alarms[entry.alarms.back()].queuedAtMs));
        const QString heading = when + QStringLiteral("  ") + oneLine(first.subject);
        if (m_format.html)
            return QStringLiteral("<p><b>%1</b><br>\n%2</p>\n").arg(heading.toHtmlEscaped(), first.text);
        return heading + QLatin1Char('\n') + first.text + QStringLiteral("\n\n");
    }

    QString intro(qsizetype alarms, qint64 firstMs, qint64 lastMs, std::size_t part, std::size_t parts) const
    {
        QString line = QStringLiteral("%1 alarms, accepted from %2 to %3").arg(alarms).arg(time(firstMs), time(lastMs));
        if (parts > 1)
            line += QStringLiteral(" (digest %1 of %2)").arg(part).arg(parts);
        line += QLatin1Char(':');
        return m_format.html ? QStringLiteral("<p>%1</p>\n").arg(line) : line + QStringLiteral("\n\n");
    }

private:
    QDateTime localTime(qint64 ms) const { return QDateTime::fromMSecsSinceEpoch(ms, m_format.zone); }

    const std::vector<DigestAlarm> &m_alarms;
    const DigestFormat &m_format;
    QString m_timeFormat;
};

std::vector<Entry> fold(const std::vector<DigestAlarm> &alarms)
{
    std::vector<Entry> entries;
    QHash<QString, std::size_t> entryOf; // subject and text, joined unambiguously
    for (std::size_t i = 0; i < alarms.size(); ++i) {
        const QString key = QString::number(alarms[i].subject.size()) + QLatin1Char(':') + alarms[i].subject
                            + alarms[i].text;
        const auto found = entryOf.constFind(key);
        if (found != entryOf.constEnd()) {
            entries[*found].alarms.push_back(i);
            continue;
        }
        entryOf.insert(key, entries.size());
        entries.push_back(Entry{{i}, {}, 0});
    }
    return entries;
}

} // namespace

QString digestSubject(qsizetype alarms, const QString &firstSubject)
{
    const QString head = QStringLiteral("%1 alarms: ").arg(alarms);
    const QString tail = QStringLiteral(" (+%1 more)").arg(alarms - 1);
    QString first = oneLine(firstSubject);
    const qsizetype room = MaxDigestSubject - head.size() - tail.size();
    if (first.size() > room) {
        const QString ellipsis = QStringLiteral("...");
        qsizetype cut = std::max<qsizetype>(0, room - ellipsis.size());
        if (cut > 0 && first.at(cut - 1).isHighSurrogate())
            --cut; // never half a character
        first = first.left(cut) + ellipsis;
    }
    return head + first + tail;
}

QString digestLogLine(const std::vector<qint64> &queuedAtMs, const QTimeZone &zone)
{
    QStringList times;
    for (const qint64 ms : queuedAtMs)
        times << QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(ms, zone), QStringLiteral("HH:mm:ss"));
    return QStringLiteral("Digest of %1 alarms queued at %2").arg(queuedAtMs.size()).arg(times.join(QStringLiteral(", ")));
}

std::vector<Digest> buildDigests(std::vector<DigestAlarm> alarms, const DigestFormat &format)
{
    if (alarms.empty())
        return {};
    std::stable_sort(alarms.begin(), alarms.end(),
                     [](const DigestAlarm &a, const DigestAlarm &b) { return a.id < b.id; });
    const Writer writer(alarms, format);
    std::vector<Entry> entries = fold(alarms);
    for (Entry &entry : entries) {
        entry.text = writer.entryText(entry);
        entry.bytes = encodedSize(entry.text);
    }

    // Whole entries to each part, as many as fit; an entry larger than a part
    // goes alone.
    std::vector<std::vector<const Entry *>> parts(1);
    qint64 used = IntroReserve;
    for (const Entry &entry : entries) {
        if (!parts.back().empty() && used + entry.bytes > format.maxBodyBytes) {
            parts.emplace_back();
            used = IntroReserve;
        }
        parts.back().push_back(&entry);
        used += entry.bytes;
    }

    std::vector<Digest> digests;
    digests.reserve(parts.size());
    for (std::size_t p = 0; p < parts.size(); ++p) {
        Digest digest;
        QString listed;
        for (const Entry *entry : parts[p]) {
            for (const std::size_t i : entry->alarms)
                digest.ids.push_back(alarms[i].id);
            listed += entry->text;
            digest.bodyBytes += entry->bytes;
        }
        std::sort(digest.ids.begin(), digest.ids.end());
        const DigestAlarm &first = alarms[parts[p].front()->alarms.front()];
        if (digest.ids.size() == 1) {
            digest.subject = first.subject;
            digest.body = first.text;
            digest.bodyBytes = encodedSize(first.text + QLatin1Char('\n'));
        } else {
            // The last alarm accepted, whichever entry shows it.
            qint64 lastMs = first.queuedAtMs;
            for (const Entry *entry : parts[p])
                lastMs = std::max(lastMs, alarms[entry->alarms.back()].queuedAtMs);
            const QString intro =
                writer.intro(qsizetype(digest.ids.size()), first.queuedAtMs, lastMs, p + 1, parts.size());
            digest.subject = digestSubject(qsizetype(digest.ids.size()), first.subject);
            digest.body = intro + listed;
            digest.bodyBytes += encodedSize(intro);
        }
        digests.push_back(std::move(digest));
    }
    return digests;
}

} // namespace corvane
