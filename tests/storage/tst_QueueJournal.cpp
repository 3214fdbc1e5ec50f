#include "storage/QueueJournal.h"
#include "storage/StorageTestUtil.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>


#include <limits>
#include <memory>

using namespace corvane;
using namespace corvane::test;

namespace {

const QDateTime kNow = QDateTime(QDate(2026, 12, 7), QTime(8, 30, 15), Qt::UTC);

// One journal in a folder, with everything it reports kept.
struct Spool {
    explicit Spool(const QString &folder, QueueJournal::Options options = {})
        : journal(folder, [] { return kNow; }, [this](const QString &text) { reports << text; }, options)
    {
    }
    QStringList reports;
    QueueJournal journal;
};

QStringList subjects(const std::vector<QueueJournal::Entry> &entries)
{
    QStringList out;
    for (const QueueJournal::Entry &e : entries)
        out << e.subject;
    return out;
}

// A journal file with three messages a, b, c, the last record of which is
// `last` ("stored": c is stored last; "freed": b is freed last). Returns the
// file's bytes and the offset where its last record begins.
QByteArray threeMessages(const QString &last, qsizetype *lastRecordAt)
{
    QByteArray bytes = QueueJournal::header();
    QueueJournal::Entry e;
    for (const char *subject : {"a", "b", "c"}) {
        ++e.sequence;
        e.subject = QString::fromLatin1(subject);
        e.recipients = QStringLiteral("ops@example.com");
        e.body = QStringLiteral("Pump %1 stopped").arg(e.sequence);
        if (last == QLatin1String("stored") && e.sequence == 3)
            *lastRecordAt = bytes.size();
        bytes += QueueJournal::encodeStored(e);
    }
    if (last == QLatin1String("freed")) {
        *lastRecordAt = bytes.size();
        bytes += QueueJournal::encodeFreed(2);
    }
    return bytes;
}

QStringList damagedFiles(const QString &folder)
{
    return QDir(folder).entryList({QStringLiteral("*.damaged-*")}, QDir::Files);
}

} // namespace

class TestQueueJournal : public QObject {
    Q_OBJECT

private slots:
    void pendingMessagesComeBackInOrderAfterARestart()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("Spool"));
        {
            Spool spool(folder);
            QVERIFY(spool.journal.open().empty());
            const auto first = spool.journal.recordStored(QStringLiteral("a@x; b@x"), QStringLiteral("one"),
                                                          QStringLiteral("text 1"));
            const auto second = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("two"),
                                                           QStringLiteral("text 2"));
            spool.journal.recordStored(QStringLiteral("c@x"), QStringLiteral("three"), QStringLiteral("text 3"));
            QVERIFY(first != second);
            spool.journal.recordSending(first, "<one@x>"); // its end of data went to a server
            spool.journal.recordFreed(second);
            QVERIFY(spool.journal.sync());
            QVERIFY(spool.reports.isEmpty());
        }
        // Messages can hold anything an alarm says: owner only.
        if (hasFileModes()) {
            QCOMPARE(fileMode(folder), 0700);
            QCOMPARE(fileMode(QDir(folder).filePath(QLatin1String(QueueJournal::FileName))), 0600);
        }

        Spool again(folder);
        const std::vector<QueueJournal::Entry> restored = again.journal.open();
        QCOMPARE(subjects(restored), QStringList({QStringLiteral("one"), QStringLiteral("three")}));
        QCOMPARE(restored[0].recipients, QStringLiteral("a@x; b@x"));
        QCOMPARE(restored[0].body, QStringLiteral("text 1"));
        QCOMPARE(restored[0].queuedAtMs, kNow.toMSecsSinceEpoch());
        QVERIFY(restored[0].sending && !restored[1].sending);
        QCOMPARE(restored[0].messageId, QByteArray("<one@x>"));
        // New messages continue the numbering: no freed record of the old run
        // can match them.
        const auto next = again.journal.recordStored(QStringLiteral("d@x"), QStringLiteral("four"),
                                                     QStringLiteral("t"));
        QVERIFY(next > restored[1].sequence);
        QVERIFY(again.reports.isEmpty());
    }

    // A deferred message keeps its first attempt and count through a restart
    // and through the rewrite each open makes, the newest record winning.
    void deferralSurvivesRestartsAndRewrites()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("Spool"));
        const qint64 first = kNow.toMSecsSinceEpoch() - 90000;
        {
            Spool spool(folder);
            QVERIFY(spool.journal.open().empty());
            const auto a = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("a"), QStringLiteral("t"));
            const auto b = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("b"), QStringLiteral("t"));
            const auto c = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("c"), QStringLiteral("t"));
            spool.journal.recordDeferred(a, first, 1);
            spool.journal.recordSending(a, "<a@x>");
            spool.journal.recordDeferred(a, first, 2);
            spool.journal.recordDeferred(b, first + 5, 1);
            spool.journal.recordFreed(b);
            spool.journal.recordDeferred(b, first + 5, 2); // after its end: nothing
            spool.journal.recordDeferred(c, first, 0);     // not a deferral: nothing
            QVERIFY(spool.journal.sync());
        }
        for (int run = 0; run < 2; ++run) { // the second reads what the first open wrote anew
            Spool spool(folder);
            const std::vector<QueueJournal::Entry> restored = spool.journal.open();
            QCOMPARE(subjects(restored), QStringList({QStringLiteral("a"), QStringLiteral("c")}));
            QCOMPARE(restored[0].attempts, 2);
            QCOMPARE(restored[0].firstAttemptMs, first);
            QVERIFY(restored[0].sending);
            QCOMPARE(restored[0].messageId, QByteArray("<a@x>"));
            QCOMPARE(restored[1].attempts, 0);
            QVERIFY(spool.reports.isEmpty());
        }
    }

    void tornLastRecordIsIgnored_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<int>("cut");
        QTest::addColumn<QStringList>("expected");
        for (const QString &last : {QStringLiteral("stored"), QStringLiteral("freed")}) {
            qsizetype at = 0;
            const QByteArray whole = threeMessages(last, &at);
            // Every length the last record can be cut to, from nothing of it
            // to all but its last byte.
            for (qsizetype cut = at; cut < whole.size(); ++cut) {
                const QStringList expected = last == QLatin1String("stored")
                    ? QStringList({QStringLiteral("a"), QStringLiteral("b")})
                    : QStringList({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
                QTest::addRow("%s record cut to %d of %d bytes", qPrintable(last), int(cut - at),
                              int(whole.size() - at))
                    << last << int(cut) << expected;
            }
        }
    }

    void tornLastRecordIsIgnored()
    {
        QFETCH(QString, last);
        QFETCH(int, cut);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        qsizetype at = 0;
        const QString file = dir.filePath(QLatin1String(QueueJournal::FileName));
        writeBytes(file, threeMessages(last, &at).left(cut));

        Spool spool(dir.path());
        QCOMPARE(subjects(spool.journal.open()), expected);
        QVERIFY2(spool.reports.isEmpty(), qPrintable(spool.reports.join('\n')));
        QVERIFY(damagedFiles(dir.path()).isEmpty());

        // The torn piece is gone from the file: what is written now is read back.
        spool.journal.recordStored(QStringLiteral("x@x"), QStringLiteral("after"), QStringLiteral("t"));
        QVERIFY(spool.journal.sync());
        const QueueJournal::Readout readout = QueueJournal::parse(readBytes(file));
        QCOMPARE(readout.damage, QueueJournal::Damage::None);
        QCOMPARE(subjects(readout.pending), expected + QStringList{QStringLiteral("after")});
    }

    void damageIsSetAsideKeepingWhatCameBefore_data()
    {
        QTest::addColumn<int>("record"); // which record of the four gets a bad byte
        QTest::addColumn<int>("offset"); // where in that record
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("setAside");
        const QStringList none;
        const QStringList a{QStringLiteral("a")};
        const QStringList ab{QStringLiteral("a"), QStringLiteral("b")};
        const QStringList abc{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")};
        QTest::newRow("type of the first record") << 0 << 0 << none << true;
        QTest::newRow("length of the second record") << 1 << 1 << a << true;
        QTest::newRow("checksum of the second record") << 1 << 6 << a << true;
        QTest::newRow("payload of the third record") << 2 << 30 << ab << true;
        // The last record with a bad byte looks like a write that never
        // reached the disk: it is dropped like a torn one (b, freed by it,
        // comes back: sent twice rather than lost).
        QTest::newRow("payload of the last record") << 3 << 12 << abc << false;
    }

    void damageIsSetAsideKeepingWhatCameBefore()
    {
        QFETCH(int, record);
        QFETCH(int, offset);
        QFETCH(QStringList, expected);
        QFETCH(bool, setAside);
        QTemporaryDir dir;
        qsizetype lastAt = 0;
        QByteArray bytes = threeMessages(QStringLiteral("freed"), &lastAt);
        // Walk to the record's start by the lengths the records carry.
        qsizetype at = QueueJournal::header().size();
        for (int i = 0; i < record; ++i) {
            const auto length = static_cast<unsigned char>(bytes[at + 1])
                | static_cast<unsigned char>(bytes[at + 2]) << 8;
            at += 9 + length;
        }
        bytes[at + offset] = static_cast<char>(bytes[at + offset] ^ 0x5A);
        writeBytes(dir.filePath(QLatin1String(QueueJournal::FileName)), bytes);

        Spool spool(dir.path());
        QCOMPARE(subjects(spool.journal.open()), expected);
        QCOMPARE(damagedFiles(dir.path()).size(), setAside ? 1 : 0);
        QCOMPARE(spool.reports.size(), setAside ? 1 : 0);
        if (setAside) {
            QVERIFY(spool.reports.first().contains(damagedFiles(dir.path()).first()));
            // The set-aside file is the damaged one, byte for byte.
            QCOMPARE(readBytes(dir.filePath(damagedFiles(dir.path()).first())), bytes);
        }
        QVERIFY(spool.journal.isDurable());
    }

    // A record carrying the highest number would make the numbering wrap, and
    // everything stored after it would read back as out of order, so lost.
    void numberingNeverWraps()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QLatin1String(QueueJournal::FileName));
        QueueJournal::Entry a;
        a.sequence = 1;
        a.subject = QStringLiteral("a");
        QueueJournal::Entry last = a;
        last.sequence = std::numeric_limits<std::uint64_t>::max();
        last.subject = QStringLiteral("last");
        writeBytes(file, QueueJournal::header() + QueueJournal::encodeStored(a) + QueueJournal::encodeStored(last));

        Spool spool(dir.path());
        QCOMPARE(subjects(spool.journal.open()), QStringList{QStringLiteral("a")});
        spool.journal.recordStored(QStringLiteral("x@x"), QStringLiteral("after"), QStringLiteral("t"));
        QVERIFY(spool.journal.sync());
        QCOMPARE(subjects(QueueJournal::parse(readBytes(file)).pending),
                 QStringList({QStringLiteral("a"), QStringLiteral("after")}));
    }

    void unreadableJournalStartsEmpty_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("settings file by mistake") << QByteArray("[Email_Account]\r\nSMPT_Server=mail\r\n");
        QTest::newRow("older header") << QByteArray("CORVANE SPOOL 0\n");
        QRandomGenerator random(20261207);
        for (int size : {1, 15, 16, 17, 100, 4096}) {
            QByteArray junk(size, '\0');
            for (char &c : junk)
                c = static_cast<char>(random.bounded(256));
            QTest::addRow("%d random bytes", size) << junk;
        }
    }

    void unreadableJournalStartsEmpty()
    {
        QFETCH(QByteArray, bytes);
        QTemporaryDir dir;
        writeBytes(dir.filePath(QLatin1String(QueueJournal::FileName)), bytes);
        Spool spool(dir.path());
        QVERIFY(spool.journal.open().empty());
        QCOMPARE(damagedFiles(dir.path()).size(), 1);
        QCOMPARE(spool.reports.size(), 1);
        // And it works from there.
        spool.journal.recordStored(QStringLiteral("x@x"), QStringLiteral("new"), QStringLiteral("t"));
        QVERIFY(spool.journal.sync());
        QCOMPARE(QueueJournal::parse(readBytes(spool.journal.filePath())).pending.size(), std::size_t{1});
    }

    void compactedPastItsSizeAndWhenTheQueueEmpties()
    {
        QTemporaryDir dir;
        QueueJournal::Options options;
        options.compactAbove = 4096;
        options.compactWhenEmptyAbove = 0;
        Spool spool(dir.path(), options);
        spool.journal.open();
        const QString body(200, QLatin1Char('x'));
        const auto kept = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("kept"), body);
        spool.journal.recordSending(kept, "<kept@x>");
        for (int i = 0; i < 200; ++i) {
            const auto s = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("s"), body);
            spool.journal.recordFreed(s);
            QVERIFY(QFileInfo(spool.journal.filePath()).size() <= options.compactAbove + 1024);
        }
        const auto compacted = QueueJournal::parse(readBytes(spool.journal.filePath())).pending;
        QCOMPARE(subjects(compacted), QStringList{QStringLiteral("kept")});
        QCOMPARE(compacted.front().messageId, QByteArray("<kept@x>")); // a rewrite keeps what went out
        spool.journal.recordFreed(kept);
        QCOMPARE(readBytes(spool.journal.filePath()), QueueJournal::header());
        if (hasFileModes())
            QCOMPARE(fileMode(spool.journal.filePath()), 0600);
        QVERIFY(spool.reports.isEmpty());
    }

    void batchWritesItsRecordsTogether_data()
    {
        QTest::addColumn<bool>("syncInside");
        QTest::addColumn<bool>("emptiesInside"); // the queue runs dry: a rewrite inside the batch
        QTest::newRow("written when the batch ends") << false << false;
        QTest::newRow("written at a sync inside") << true << false;
        QTest::newRow("queue emptied inside") << false << true;
    }
    void batchWritesItsRecordsTogether()
    {
        QFETCH(bool, syncInside);
        QFETCH(bool, emptiesInside);
        QTemporaryDir dir;
        QueueJournal::Options options;
        options.compactWhenEmptyAbove = emptiesInside ? 0 : options.compactWhenEmptyAbove;
        Spool spool(dir.path(), options);
        spool.journal.open();
        const QString file = spool.journal.filePath();
        QStringList expected;
        {
            const QueueJournal::Batch batch(spool.journal);
            const auto a = spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("a"), QStringLiteral("t"));
            const auto b = spool.journal.recordStored(QStringLiteral("b@x"), QStringLiteral("b"), QStringLiteral("t"));
            spool.journal.recordFreed(a);
            if (emptiesInside)
                spool.journal.recordFreed(b);
            else
                expected << QStringLiteral("b");
            if (syncInside) {
                QVERIFY(spool.journal.sync());
                QCOMPARE(subjects(QueueJournal::parse(readBytes(file)).pending), expected);
            } else if (!emptiesInside) {
                QCOMPARE(readBytes(file), QueueJournal::header());
            }
        }
        spool.journal.recordStored(QStringLiteral("c@x"), QStringLiteral("c"), QStringLiteral("t"));
        QVERIFY(spool.journal.sync());
        const QueueJournal::Readout readout = QueueJournal::parse(readBytes(file));
        QCOMPARE(readout.damage, QueueJournal::Damage::None);
        QCOMPARE(subjects(readout.pending), expected << QStringLiteral("c"));
        QVERIFY(spool.reports.isEmpty());
    }

    void longPendingQueueIsNotRewrittenPerMessage()
    {
        // A mail server down for hours: everything stays pending and the file
        // outgrows the size limit. Each rewrite replaces the file (the one we
        // hold open loses its name); one per message would make a full queue
        // cost quadratic time.
        QTemporaryDir dir;
        QueueJournal::Options options;
        options.compactAbove = 4096;
        Spool spool(dir.path(), options);
        spool.journal.open();
        const QString body(200, QLatin1Char('x'));
        ReplacementWatch watch(spool.journal.filePath());
        int rewrites = 0;
        const int messages = 400;
        for (int i = 0; i < messages; ++i) {
            spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("m%1").arg(i), body);
            if (watch.replaced())
                ++rewrites;
        }
        QVERIFY2(rewrites >= 1 && rewrites <= 8, qPrintable(QStringLiteral("%1 rewrites").arg(rewrites)));
        QCOMPARE(QueueJournal::parse(readBytes(spool.journal.filePath())).pending.size(),
                 std::size_t(messages));
    }

    // The last two tests change this process's mount namespace.
    void fullDiskGoesOnInMemoryAndComesBack()
    {
        QTemporaryDir dir;
        QString why;
        if (!mountSmallDisk(dir.path(), 128, &why))
            QSKIP(qPrintable(QStringLiteral("no tmpfs of our own: ") + why));
        const QString filler = dir.filePath(QStringLiteral("filler"));
        writeBytes(filler, QByteArray(100 * 1024, 'f'));

        QueueJournal::Options options;
        options.retryAfter = std::chrono::milliseconds(0);
        {
            Spool spool(dir.filePath(QStringLiteral("Spool")), options);
            spool.journal.open();
            QVERIFY(spool.journal.isDurable());
            const QString body(2000, QLatin1Char('b'));
            int stored = 0;
            for (; stored < 100 && spool.journal.isDurable(); ++stored)
                spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("m%1").arg(stored), body);
            QVERIFY2(!spool.journal.isDurable(), "the small disk never filled");
            // Every message after the failure is still taken, and acknowledged
            // at once, with one report for the whole episode.
            for (int i = 0; i < 5; ++i, ++stored) {
                spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("m%1").arg(stored), body);
                QVERIFY(!spool.journal.sync());
            }
            QCOMPARE(spool.reports.size(), 1);
            QVERIFY(spool.reports.first().contains(QStringLiteral("memory only")));
            QCOMPARE(spool.journal.pendingCount(), std::size_t(stored));

            // Room again: the next try writes everything still pending.
            QVERIFY(QFile::remove(filler));
            QVERIFY(spool.journal.sync());
            QCOMPARE(spool.reports.size(), 2);
            QCOMPARE(QueueJournal::parse(readBytes(spool.journal.filePath())).pending.size(),
                     std::size_t(stored));
        }
    }

    void readOnlySpoolGoesOnInMemory()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("Spool"));
        QVERIFY(QDir().mkpath(folder));
        ReadOnlyFolder readOnly;
        QString why;
        if (!readOnly.engage(folder, &why))
            QSKIP(qPrintable(why));
        Spool spool(folder);
        QVERIFY(spool.journal.open().empty());
        QVERIFY(!spool.journal.isDurable());
        spool.journal.recordStored(QStringLiteral("a@x"), QStringLiteral("s"), QStringLiteral("t"));
        QVERIFY(!spool.journal.sync());
        QCOMPARE(spool.journal.pendingCount(), std::size_t{1});
        QCOMPARE(spool.reports.size(), 1);
        QVERIFY(spool.reports.first().contains(QStringLiteral("memory only")));
    }
};

QTEST_GUILESS_MAIN(TestQueueJournal)
#include "tst_QueueJournal.moc"
