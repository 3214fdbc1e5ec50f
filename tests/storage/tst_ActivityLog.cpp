#include "storage/ActivityLog.h"
#include "storage/StorageTestUtil.h"
#include "storage/TextCodec.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>


#include <ctime>

#include <iterator>
#include <memory>
#include <vector>

using namespace corvane;
using namespace corvane::test;

namespace {

// Hands out the given moments one per reading, then keeps the last.
class ScriptedClock {
public:
    explicit ScriptedClock(std::vector<QDateTime> moments)
        : m_moments(std::make_shared<std::vector<QDateTime>>(std::move(moments)))
        , m_next(std::make_shared<std::size_t>(0))
    {
    }
    QDateTime operator()() const
    {
        const std::size_t at = std::min(*m_next, m_moments->size() - 1);
        ++*m_next;
        return (*m_moments)[at];
    }
    std::size_t readings() const { return *m_next; }

private:
    std::shared_ptr<std::vector<QDateTime>> m_moments;
    std::shared_ptr<std::size_t> m_next;
};

QDateTime at(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
}

} // namespace

class ActivityLogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString logs() const { return m_tmp->filePath(QStringLiteral("Logs")); }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
    }

    void fileNameCarriesTheDate()
    {
        QCOMPARE(ActivityLog::fileNameFor(QDate(2026, 12, 6)), QStringLiteral("Corvane Log On 20261206.TXT"));
        QCOMPARE(ActivityLog::fileNameFor(QDate(2027, 1, 9)), QStringLiteral("Corvane Log On 20270109.TXT"));
    }

    void createsTheFolderAndAppendsExactEntries()
    {
        const ScriptedClock clock({at(2026, 12, 6, 9, 15, 2), at(2026, 12, 6, 9, 15, 3), at(2026, 12, 6, 21, 0, 0)});
        const ActivityLog log(logs(), clock);
        QVERIFY(!QDir(logs()).exists());
        log.WriteLog(QStringLiteral("Program Started"));
        log.WriteLog(QString());
        log.WriteLog(QStringLiteral("Text: Wartung \u00C4rger"));
        QCOMPARE(clock.readings(), std::size_t(3)); // one reading per entry
        QCOMPARE(folderEntries(logs()), QStringList({"Corvane Log On 20261206.TXT"}));
        QCOMPARE(readBytes(QDir(logs()).filePath("Corvane Log On 20261206.TXT")),
                 QByteArray("09:15:02  Program Started\r\n"
                            "09:15:03  \r\n"
                            "21:00:00  Text: Wartung ")
                     + (systemWritesUtf8() ? "\xC3\x84" : "\xC4") + "rger\r\n");
    }

    void multiLineMessagesContinueWithoutATime()
    {
        const ScriptedClock clock({at(2026, 12, 6, 0, 0, 7)});
        const ActivityLog log(logs(), clock);
        log.WriteLog(QStringLiteral("Address: a@example.com\r\nSubject: Pump 3\r\nText: stopped\r\n"));
        log.WriteLog(QStringLiteral("Send email: Pump 3"));
        QCOMPARE(readBytes(log.filePathFor(QDate(2026, 12, 6))),
                 QByteArray("00:00:07  Address: a@example.com\r\nSubject: Pump 3\r\nText: stopped\r\n\r\n"
                            "00:00:07  Send email: Pump 3\r\n"));
    }

    void midnightStartsANewFile()
    {
        const ScriptedClock clock({at(2026, 12, 31, 23, 59, 59), at(2027, 1, 1, 0, 0, 0)});
        const ActivityLog log(logs(), clock);
        log.WriteLog(QStringLiteral("last of the year"));
        log.WriteLog(QStringLiteral("first of the year"));
        QCOMPARE(readFiles(logs(), QStringLiteral(".TXT")),
                 QList<QByteArray>({"23:59:59  last of the year\r\n", "00:00:00  first of the year\r\n"}));
        QCOMPARE(folderEntries(logs()),
                 QStringList({"Corvane Log On 20261231.TXT", "Corvane Log On 20270101.TXT"}));
    }

    void batchWritesWhenTheLastOneEnds()
    {
        // The year ends inside the batch: each entry still lands in its day's file.
        const ScriptedClock clock({at(2026, 12, 31, 23, 59, 58), at(2026, 12, 31, 23, 59, 59),
                                   at(2027, 1, 1, 0, 0, 0)});
        const ActivityLog log(logs(), clock);
        const QString lastDay = log.filePathFor(QDate(2026, 12, 31));
        {
            const ActivityLog::Batch outer(log);
            log.WriteLog(QStringLiteral("one"));
            {
                const ActivityLog::Batch inner(log);
                log.WriteLog(QStringLiteral("two"));
            }
            QVERIFY(!QFile::exists(lastDay));
            log.WriteLog(QStringLiteral("three"));
            QCOMPARE(readBytes(lastDay), QByteArray("23:59:58  one\r\n23:59:59  two\r\n"));
            QVERIFY(!QFile::exists(log.filePathFor(QDate(2027, 1, 1))));
        }
        QCOMPARE(readBytes(log.filePathFor(QDate(2027, 1, 1))), QByteArray("00:00:00  three\r\n"));
        log.WriteLog(QStringLiteral("after"));
        QCOMPARE(readBytes(log.filePathFor(QDate(2027, 1, 1))),
                 QByteArray("00:00:00  three\r\n00:00:00  after\r\n"));
    }

    void appendsToAnExistingFile()
    {
        QVERIFY(QDir().mkdir(logs()));
        writeBytes(QDir(logs()).filePath("Corvane Log On 20261206.TXT"), "08:00:00  earlier run\r\n");
        const ActivityLog log(logs(), ScriptedClock({at(2026, 12, 6, 9, 0, 0)}));
        log.WriteLog(QStringLiteral("Program Started"));
        QCOMPARE(readBytes(log.filePathFor(QDate(2026, 12, 6))),
                 QByteArray("08:00:00  earlier run\r\n09:00:00  Program Started\r\n"));
    }

    void messagesAreWrittenAsTheirUtf8()
    {
        // Past any fixed-size buffer, characters outside the BMP, and lone
        // surrogates, which must come out as QString::toUtf8 spells them.
        const QString longText = QStringLiteral("Pumpe \u00D6l \u20AC ").repeated(400);
        QList<QString> messages = {
            longText,
            QStringLiteral("Frost \U0001F9CA at gate 4"),
            QString(QChar(0xD83D)) + QStringLiteral(" lone high, then lone low ") + QString(QChar(0xDC00)),
            QStringLiteral("ends high ") + QString(QChar(0xD800)),
            QString(QChar(0xDBFF)) + QString(QChar(0xDBFF)) + QString(QChar(0xDFFF)),
        };
        // And units drawn around every boundary of the encoding.
        const char16_t edges[] = {0x00, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xD800, 0xDBFF,
                                  0xDC00, 0xDFFF, 0xE000, 0xFFFD, 0xFFFF};
        QRandomGenerator random(20261206);
        for (int m = 0; m < 200; ++m) {
            QString message;
            for (int i = 0, length = random.bounded(1, 12); i < length; ++i)
                message += QChar(edges[random.bounded(int(std::size(edges)))]);
            messages.append(message);
        }
        const ActivityLog log(logs(), ScriptedClock({at(2026, 12, 6, 7, 8, 9)}));
        QByteArray expected;
        for (const QString &message : messages) {
            log.WriteLog(message);
            // The system's text: UTF-8 on Linux, the ANSI code page on Windows.
            expected += "07:08:09  " + (systemWritesUtf8() ? message.toUtf8() : encodeSystemCodePage(message, nullptr))
                + "\r\n";
        }
        QCOMPARE(readBytes(log.filePathFor(QDate(2026, 12, 6))), expected);
    }

    void newFileIsReadableByOthersButWritableByUsOnly()
    {
        if (!hasFileModes())
            QSKIP("Windows keeps access lists instead of modes (tests/windows).");
        const mode_t saved = ::umask(022);
        const ActivityLog log(logs(), ScriptedClock({at(2026, 12, 6, 9, 0, 0)}));
        log.WriteLog(QStringLiteral("Program Started"));
        ::umask(saved);
        QCOMPARE(fileMode(log.filePathFor(QDate(2026, 12, 6))), 0644);
    }

    void datesBeyondFourDigitYearsKeepTheirName()
    {
        const QDate farOff(10000, 1, 2);
        const ActivityLog log(logs(), ScriptedClock({QDateTime(farOff, QTime(3, 4, 5))}));
        log.WriteLog(QStringLiteral("far off"));
        QCOMPARE(folderEntries(logs()), QStringList({ActivityLog::fileNameFor(farOff)}));
        QCOMPARE(readBytes(log.filePathFor(farOff)), QByteArray("03:04:05  far off\r\n"));
    }

    void systemClockGivesTheLocalTime_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("UTC") << QByteArray("UTC");
        QTest::newRow("east of UTC") << QByteArray("Europe/Berlin");
        QTest::newRow("west of UTC") << QByteArray("America/New_York");
        QTest::newRow("half-hour offset") << QByteArray("Asia/Kolkata");
    }
    void systemClockGivesTheLocalTime()
    {
        // The clock reads the zone itself instead of asking the C library each
        // time; it must still give the wall time the C library gives.
        QFETCH(QByteArray, zone);
        const QByteArray saved = qgetenv("TZ");
        const bool wasSet = qEnvironmentVariableIsSet("TZ");
        qputenv("TZ", zone);
        ::tzset();
        const std::time_t seconds = std::time(nullptr);
        QDateTime expected;
        const bool fromTz = localTimeFromTz(seconds, &expected);
        const QDateTime now = systemClock()();
        if (wasSet)
            qputenv("TZ", saved);
        else
            qunsetenv("TZ");
        ::tzset();
        if (!fromTz)
            QSKIP("Windows takes the time zone from its own settings, not from TZ.");
        QCOMPARE(now.offsetFromUtc(), expected.offsetFromUtc());
        QVERIFY2(qAbs(expected.secsTo(now)) < 2,
                 qPrintable(expected.toString(Qt::ISODate) + QLatin1String(" / ") + now.toString(Qt::ISODate)));
        QCOMPARE(now.date(), expected.date());
    }

    void fullDiskLosesTheWholeEntryAndGoesOn_data()
    {
        QTest::addColumn<int>("room"); // bytes the disk still takes
        QTest::newRow("no room at all") << 0;
        QTest::newRow("room for the time") << 5;
        QTest::newRow("room for all but the line end") << 31;
    }
    void fullDiskLosesTheWholeEntryAndGoesOn()
    {
        // The kernel takes what fits and refuses the rest. What it took must go
        // again, or the next entry continues the broken line; the log neither
        // waits for space nor disturbs its caller.
        QFETCH(int, room);
        const ActivityLog log(logs(), ScriptedClock({at(2026, 12, 6, 9, 0, 0)}));
        log.WriteLog(QStringLiteral("first"));
        const QString path = log.filePathFor(QDate(2026, 12, 6));
        const qint64 before = readBytes(path).size();
        {
            const FileSizeLimit diskFull(before + room);
            if (!diskFull.active())
                QSKIP("No file size limit for a process on Windows.");
            log.WriteLog(QStringLiteral("this entry does not fit"));
            QCOMPARE(readBytes(path).size(), before);
        }
        log.WriteLog(QStringLiteral("later"));
        QCOMPARE(readBytes(path), QByteArray("09:00:00  first\r\n09:00:00  later\r\n"));
    }

    void removedBetweenEntries_data()
    {
        QTest::addColumn<bool>("wholeFolder");
        QTest::newRow("the day's file") << false;
        QTest::newRow("the log folder") << true;
    }
    void removedBetweenEntries()
    {
        // The file stays open between entries; one deleted meanwhile must not
        // swallow what comes next.
        QFETCH(bool, wholeFolder);
        const ActivityLog log(logs(), ScriptedClock({at(2026, 12, 6, 9, 0, 0)}));
        log.WriteLog(QStringLiteral("before"));
        const QString path = log.filePathFor(QDate(2026, 12, 6));
        const bool removed = wholeFolder ? QDir(logs()).removeRecursively() : QFile::remove(path);
        if (QFile::exists(path))
            QSKIP("Wine keeps the name of a file deleted while open until it is closed, and says nothing of it.");
        QVERIFY(removed);
        log.WriteLog(QStringLiteral("after"));
        QCOMPARE(readBytes(path), QByteArray("09:00:00  after\r\n"));
    }

    void twoWritersShareTheFileEntryByEntry()
    {
        // The service's log and another writer (a second instance, a tool)
        // append to the same day's file: entries interleave whole.
        const ScriptedClock clock({at(2026, 12, 6, 9, 0, 0)});
        const ActivityLog first(logs(), clock);
        const ActivityLog second(logs(), clock);
        first.WriteLog(QStringLiteral("one"));
        second.WriteLog(QStringLiteral("two"));
        first.WriteLog(QStringLiteral("three"));
        QCOMPARE(readBytes(first.filePathFor(QDate(2026, 12, 6))),
                 QByteArray("09:00:00  one\r\n09:00:00  two\r\n09:00:00  three\r\n"));
    }

    void unusableFolderLosesTheEntryQuietly()
    {
        // A regular file where the folder should be: no folder can be made there,
        // whoever runs the program.
        const QString blocked = m_tmp->filePath(QStringLiteral("blocked"));
        writeBytes(blocked, "not a folder");
        const ScriptedClock clock({at(2026, 12, 6, 9, 0, 0)});
        const ActivityLog log(blocked, clock);
        log.WriteLog(QStringLiteral("lost"));
        log.WriteLog(QStringLiteral("lost too"));
        QCOMPARE(readBytes(blocked), QByteArray("not a folder"));
        QCOMPARE(folderEntries(m_tmp->path()), QStringList({"blocked"}));

        // An empty clock is a programming error, yet the log still must not throw.
        const ActivityLog broken(logs(), Clock());
        broken.WriteLog(QStringLiteral("no time"));
        QVERIFY(!QDir(logs()).exists());
    }

    void readOnlyFolderLosesTheEntryQuietly()
    {
        const ActivityLog log(logs(), ScriptedClock({at(2026, 12, 6, 9, 0, 0)}));
        ReadOnlyFolder readOnly;
        QString why;
        if (!readOnly.engage(m_tmp->path(), &why))
            QSKIP(qPrintable(why));
        log.WriteLog(QStringLiteral("lost"));
        QVERIFY(!QDir(logs()).exists());
    }
};

QTEST_GUILESS_MAIN(ActivityLogTest)
#include "tst_ActivityLog.moc"
