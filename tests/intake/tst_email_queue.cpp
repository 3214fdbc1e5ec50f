#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "support/TestSupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <vector>

using namespace corvane;

namespace {

const QDateTime kNow(QDate(2026, 12, 6), QTime(9, 15, 2));

QueuedEmail entryWithSubject(const QString &subject)
{
    QueuedEmail e;
    e.Recipients = QStringLiteral("a@b");
    e.Subject = subject;
    e.Body = QStringLiteral("body");
    return e;
}

// The order the queue must keep, computed the slow way.
struct LinearModel {
    std::vector<bool> pending = std::vector<bool>(101, false);
    int store()
    {
        for (std::size_t i = 0; i < pending.size(); ++i) {
            if (!pending[i]) {
                pending[i] = true;
                return static_cast<int>(i);
            }
        }
        if (pending.size() + 100 > 32701)
            return -1;
        pending.resize(pending.size() + 100, false);
        pending[pending.size() - 100] = true;
        return static_cast<int>(pending.size()) - 100;
    }
};

} // namespace

class TestEmailQueue : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    RecipientListTable m_lists;

    ActivityLog makeLog() const { return ActivityLog(m_dir.path(), [] { return kNow; }); }
    QByteArray logContents() const
    {
        const auto files = test::readFiles(m_dir.path(), QStringLiteral(".TXT"));
        return files.isEmpty() ? QByteArray() : files.join();
    }

private slots:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
        m_lists = RecipientListTable{};
        m_lists[1].Addresses[1] = QStringLiteral("ops@example.com");
    }

    void checkEmailAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("allowEmpty");
        QTest::addColumn<bool>("expected");
        QTest::newRow("plain") << "a@b.c" << false << true;
        QTest::newRow("only at") << "@" << false << true;
        QTest::newRow("at first") << "@b" << false << true;
        QTest::newRow("at last") << "a@" << false << true;
        QTest::newRow("spaces around") << "  a@b  " << false << true;
        QTest::newRow("no at") << "ab.c" << false << false;
        QTest::newRow("empty, not allowed") << "" << false << false;
        QTest::newRow("empty, allowed") << "" << true << true;
        QTest::newRow("spaces only, allowed") << "   " << true << true;
        QTest::newRow("spaces only, not allowed") << "   " << false << false;
        QTest::newRow("tab is not trimmed") << "\t" << true << false;
        QTest::newRow("no at, allowed empty") << "x" << true << false;
    }
    void checkEmailAddress()
    {
        QFETCH(QString, address);
        QFETCH(bool, allowEmpty);
        QFETCH(bool, expected);
        QCOMPARE(CheckEmailAddress(address, allowEmpty), expected);
    }

    void invalidRequestsLeaveNoTrace_data()
    {
        QTest::addColumn<int>("list");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("text");
        QTest::newRow("list 0") << 0 << "s" << "t";
        QTest::newRow("list 9") << 9 << "s" << "t";
        QTest::newRow("list -1") << -1 << "s" << "t";
        QTest::newRow("list -32768") << -32768 << "s" << "t";
        QTest::newRow("list 32767") << 32767 << "s" << "t";
        QTest::newRow("empty subject") << 1 << "" << "t";
        QTest::newRow("spaces subject") << 1 << "   " << "t";
        QTest::newRow("empty text") << 1 << "s" << "";
        QTest::newRow("spaces text") << 1 << "s" << "  ";
        QTest::newRow("list without addresses") << 2 << "s" << "t";
    }
    void invalidRequestsLeaveNoTrace()
    {
        QFETCH(int, list);
        QFETCH(QString, subject);
        QFETCH(QString, text);
        const ActivityLog log = makeLog();
        NotificationQueue queue(m_lists, log);
        QCOMPARE(queue.QueueEmail(static_cast<std::int16_t>(list), subject, text), QueueResult::Dropped);
        QCOMPARE(queue.emailQueue().pendingCount(), 0);
        QCOMPARE(queue.emailQueue().at(0).Pending, std::int16_t{0});
        QVERIFY(logContents().isEmpty());
    }

    void acceptedMessageIsStoredAndLoggedVerbatim()
    {
        m_lists[4].Addresses[3] = QStringLiteral("  first@example.com ");
        m_lists[4].Addresses[5] = QStringLiteral("no-at-sign");
        m_lists[4].Addresses[7] = QStringLiteral(" second@example.com");
        m_lists[4].Addresses[16] = QStringLiteral("@");
        const ActivityLog log = makeLog();
        NotificationQueue queue(m_lists, log);

        QCOMPARE(queue.QueueEmail(4, QStringLiteral(" Pump  "), QStringLiteral("\tstopped ")),
                 QueueResult::Queued);
        const QueuedEmail &e = queue.emailQueue().at(0);
        QCOMPARE(e.Pending, std::int16_t{-1});
        QCOMPARE(e.SendState, std::uint8_t{0});
        QCOMPARE(e.Recipients, QStringLiteral("first@example.com; second@example.com; @"));
        QCOMPARE(e.Subject, QStringLiteral(" Pump  "));
        QCOMPARE(e.Body, QStringLiteral("\tstopped "));
        QVERIFY(queue.emailQueue().isPending(0));

        QCOMPARE(logContents(),
                 QByteArray("09:15:02  Address: first@example.com; second@example.com; @\r\n"
                            "Subject:  Pump  \r\nText: \tstopped \r\n\r\n"));
    }

    void tabOnlySubjectIsAccepted()
    {
        const ActivityLog log = makeLog();
        NotificationQueue queue(m_lists, log);
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("\t"), QStringLiteral("x")), QueueResult::Queued);
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("x"), QStringLiteral("\t")), QueueResult::Queued);
        QCOMPARE(queue.emailQueue().pendingCount(), 2);
    }

    void listChangesApplyToTheNextMessage()
    {
        const ActivityLog log = makeLog();
        NotificationQueue queue(m_lists, log);
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("s"), QStringLiteral("t")), QueueResult::Queued);
        m_lists[1].Addresses[2] = QStringLiteral("late@example.com");
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("s"), QStringLiteral("t")), QueueResult::Queued);
        QCOMPARE(queue.emailQueue().at(0).Recipients, QStringLiteral("ops@example.com"));
        QCOMPARE(queue.emailQueue().at(1).Recipients, QStringLiteral("ops@example.com; late@example.com"));
    }

    void growsByExactlyOneHundredKeepingEntries()
    {
        QueuedEmailArray a;
        QCOMPARE(a.upperBound(), 100);
        for (int i = 0; i <= 100; ++i)
            QCOMPARE(a.store(entryWithSubject(QString::number(i))), std::optional<int>(i));
        QCOMPARE(a.upperBound(), 100);
        QCOMPARE(a.store(entryWithSubject(QStringLiteral("101"))), std::optional<int>(101));
        QCOMPARE(a.upperBound(), 200);
        for (int i = 0; i <= 101; ++i)
            QCOMPARE(a.at(i).Subject, QString::number(i));
        for (int i = 102; i <= 200; ++i)
            QCOMPARE(a.at(i).Pending, std::int16_t{0});
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, a.at(201));
        QVERIFY(!a.isPending(201));
        QVERIFY(!a.isPending(-1));
    }

    void freedSlotIsReusedFirst()
    {
        QueuedEmailArray a;
        for (int i = 0; i <= 5; ++i)
            a.store(entryWithSubject(QString::number(i)));
        a.release(0);
        QCOMPARE(a.at(0).Subject, QString());
        QCOMPARE(a.at(0).Pending, std::int16_t{0});
        QCOMPARE(a.store(entryWithSubject(QStringLiteral("again"))), std::optional<int>(0));
        a.release(4);
        a.release(2);
        QCOMPARE(a.pendingCount(), 4);
        QCOMPARE(a.store(entryWithSubject(QStringLiteral("x"))), std::optional<int>(2));
        QCOMPARE(a.store(entryWithSubject(QStringLiteral("y"))), std::optional<int>(4));
        QCOMPARE(a.store(entryWithSubject(QStringLiteral("z"))), std::optional<int>(6));
        // Releasing what is already free, or outside the array, changes nothing.
        a.release(50);
        a.release(-3);
        a.release(1000);
        QCOMPARE(a.pendingCount(), 7);
        QCOMPARE(a.at(5).Subject, QStringLiteral("5"));
    }

    void matchesLinearScanUnderRandomTraffic()
    {
        QueuedEmailArray a;
        LinearModel model;
        QRandomGenerator rng(20261206);
        for (int step = 0; step < 24000; ++step) {
            // Mostly stores at first, so the array grows through several
            // hundred-slot steps, then a balanced mix.
            const bool doStore = step < 8000 ? rng.bounded(10) < 7 : rng.bounded(2) == 0;
            if (doStore) {
                const int expected = model.store();
                const std::optional<int> got = a.store(entryWithSubject(QString::number(step)));
                QCOMPARE(got.value_or(-1), expected);
            } else {
                const int index = static_cast<int>(rng.bounded(static_cast<quint32>(model.pending.size())));
                model.pending[static_cast<std::size_t>(index)] = false;
                a.release(index);
            }
            QCOMPARE(a.upperBound(), static_cast<int>(model.pending.size()) - 1);
        }
        int pending = 0;
        for (std::size_t i = 0; i < model.pending.size(); ++i) {
            QCOMPARE(a.isPending(static_cast<int>(i)), bool(model.pending[i]));
            pending += model.pending[i] ? 1 : 0;
        }
        QCOMPARE(a.pendingCount(), pending);
    }

    void overflowChangesNothingAndLogsNothing()
    {
        const ActivityLog log = makeLog();
        NotificationQueue queue(m_lists, log);
        for (int i = 0; i < 32701; ++i)
            QCOMPARE(queue.store(entryWithSubject(QStringLiteral("fill"))), std::optional<int>(i));
        QCOMPARE(queue.emailQueue().upperBound(), QueuedEmailArray::MaxUpperBound);

        QCOMPARE(queue.QueueEmail(1, QStringLiteral("s"), QStringLiteral("t")), QueueResult::Overflow);
        QCOMPARE(queue.emailQueue().upperBound(), 32700);
        QCOMPARE(queue.emailQueue().pendingCount(), 32701);
        QVERIFY(logContents().isEmpty());
        // An invalid request at the limit is still just dropped.
        QCOMPARE(queue.QueueEmail(0, QStringLiteral("s"), QStringLiteral("t")), QueueResult::Dropped);

        queue.release(32000);
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("s"), QStringLiteral("t")), QueueResult::Queued);
        QCOMPARE(queue.emailQueue().at(32000).Subject, QStringLiteral("s"));
        QVERIFY(logContents().startsWith("09:15:02  Address: ops@example.com\r\n"));
    }
};

QTEST_GUILESS_MAIN(TestEmailQueue)
#include "tst_email_queue.moc"
