#include "intake/CommandEndpoint.h"
#include "intake/IntakeTestSupport.h"
#include "storage/QueueJournal.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <unistd.h>

#include <cstdio>
#include <memory>

using namespace corvane;
using namespace corvane::test;

namespace {

QStringList journalSubjects(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {QStringLiteral("<no journal>")};
    QStringList out;
    for (const QueueJournal::Entry &e : QueueJournal::parse(f.readAll()).pending)
        out << e.subject;
    return out;
}

// One run of the program's queue on a folder: journal, log and queue.
struct Run {
    explicit Run(const QString &folder, const RecipientListTable &lists)
        : journal(QDir(folder).filePath(QStringLiteral("Spool")), systemClock(), [](const QString &) {})
        , log(QDir(folder).filePath(QStringLiteral("Logs")), systemClock())
        , queue(lists, log, &journal)
    {
        restored = queue.restore(journal.open());
    }
    QStringList subjectsBySlot() const
    {
        QStringList out;
        for (int i = 0; i <= queue.emailQueue().upperBound(); ++i)
            if (queue.emailQueue().isPending(i))
                out << queue.emailQueue().at(i).Subject;
        return out;
    }
    QueueJournal journal;
    ActivityLog log;
    NotificationQueue queue;
    int restored = 0;
};

// Whatever this process writes to stderr while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const QString &file)
        : m_file(file)
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        std::FILE *f = std::fopen(QFile::encodeName(file).constData(), "w");
        ::dup2(::fileno(f), 2);
        std::fclose(f);
    }
    ~StderrCapture() { restore(); }
    QByteArray text()
    {
        restore();
        QFile f(m_file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_file;
    int m_saved = -1;
};

} // namespace

class TestSpooledQueue : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_lists[1].Addresses[1] = QStringLiteral("ops@example.com");
    }

    void restartRestoresPendingInTheOrderQueued()
    {
        QTemporaryDir dir;
        {
            Run run(dir.path(), m_lists);
            for (const char *subject : {"first", "second", "third", "fourth"})
                QCOMPARE(run.queue.QueueEmail(1, QString::fromLatin1(subject), QStringLiteral("t")),
                         QueueResult::Queued);
            run.queue.release(0);
            run.queue.release(2);
            // A new message takes the lowest free slot, below "second".
            QCOMPARE(run.queue.QueueEmail(1, QStringLiteral("fifth"), QStringLiteral("t")), QueueResult::Queued);
            QCOMPARE(run.subjectsBySlot(),
                     QStringList({QStringLiteral("fifth"), QStringLiteral("second"), QStringLiteral("fourth")}));
        }
        {
            // Back in the order they were queued, from slot 0 on.
            Run run(dir.path(), m_lists);
            QCOMPARE(run.restored, 3);
            QCOMPARE(run.subjectsBySlot(),
                     QStringList({QStringLiteral("second"), QStringLiteral("fourth"), QStringLiteral("fifth")}));
            // Restoring writes nothing new; freeing a restored slot is recorded.
            run.queue.release(1);
        }
        Run run(dir.path(), m_lists);
        QCOMPARE(run.subjectsBySlot(), QStringList({QStringLiteral("second"), QStringLiteral("fifth")}));
    }

    void droppedAtCapacityLeavesOneLinePerRequestOnStderr()
    {
        QTemporaryDir dir;
        ActivityLog log(dir.filePath(QStringLiteral("Logs")), systemClock());
        NotificationQueue queue(m_lists, log);
        QueuedEmail filler;
        filler.Recipients = QStringLiteral("ops@example.com");
        filler.Subject = QStringLiteral("fill");
        filler.Body = QStringLiteral("fill");
        while (queue.store(filler)) {
        }
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("Before"), QStringLiteral("limit")), QueueResult::Overflow);
        const QStringList logBefore = QDir(dir.filePath(QStringLiteral("Logs"))).entryList(QDir::Files);

        StderrCapture capture(dir.filePath(QStringLiteral("stderr.txt")));
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("Boiler"), QStringLiteral("hot")), QueueResult::Overflow);
        QCOMPARE(queue.QueueEmail(1, QStringLiteral("Pump"), QStringLiteral("off")), QueueResult::Overflow);
        const QByteArray text = capture.text();
        QCOMPARE(text.count('\n'), 2);
        QVERIFY2(text.contains("dropped"), text.constData());
        // Nothing logged for a dropped request.
        QCOMPARE(QDir(dir.filePath(QStringLiteral("Logs"))).entryList(QDir::Files), logBefore);
        QVERIFY(logBefore.isEmpty());
    }

    void acknowledgementsWaitForOneSyncPerBatchAndKeepTheirOrder()
    {
        QTemporaryDir dir;
        Run run(dir.path(), m_lists);
        CommandHandler handler(run.queue);
        const quint16 ackPort = freeUdpPort();
        CommandEndpoint endpoint(handler, freeUdpPort(), ackPort);
        const Result started = endpoint.start();
        QVERIFY2(started.ok, qPrintable(started.error));
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, ackPort));
        peer.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);

        // All of it in the kernel's queue before the endpoint reads any: one batch.
        QList<QByteArray> sent{datagram("A000", 0, 1, "x~y")};
        for (int i = 1; i <= 200; ++i) {
            const QByteArray id = QByteArray::number(1000 + i);
            sent << datagram(id, 1, 1, "Alarm " + id + "~t");
            if (i % 50 == 0)
                sent << datagram(id, 1, 1, "repeat~t") << datagram("N" + id.right(3), 0, 1, "x~y");
        }
        const std::uint64_t syncsBefore = run.journal.syncCount();
        for (const QByteArray &d : sent)
            QCOMPARE(peer.writeDatagram(d, QHostAddress::LocalHost, endpoint.listenPort()), qint64(d.size()));

        QList<QByteArray> acks;
        QStringList onDiskAtFirstAck;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                while (peer.hasPendingDatagrams()) {
                    QByteArray d(int(peer.pendingDatagramSize()), Qt::Uninitialized);
                    peer.readDatagram(d.data(), d.size());
                    if (acks.size() == 1)
                        onDiskAtFirstAck = journalSubjects(run.journal.filePath());
                    acks << d;
                }
                return acks.size() >= sent.size();
            }(),
            10000);
        QList<QByteArray> expected;
        for (const QByteArray &d : sent)
            expected << ack(d.left(4));
        QCOMPARE(acks, expected);
        QCOMPARE(run.queue.emailQueue().pendingCount(), 200);
        // The first send command's answer came with its message in the journal.
        QVERIFY(onDiskAtFirstAck.contains(QStringLiteral("Alarm 1001")));
        const std::uint64_t syncs = run.journal.syncCount() - syncsBefore;
        QVERIFY2(syncs >= 1 && syncs <= 10, qPrintable(QStringLiteral("%1 syncs, durable %2, pending %3").arg(syncs).arg(run.journal.isDurable()).arg(run.journal.pendingCount())));
    }

private:
    RecipientListTable m_lists;
};

QTEST_GUILESS_MAIN(TestSpooledQueue)
#include "tst_spooled_queue.moc"
