// The command port must not let another host make Corvane send mail. Two
// network namespaces joined by a veth pair stand for this machine and a
// neighbour on its network.

#include "intake/IntakeTestSupport.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

using namespace corvane;
using namespace corvane::test;

namespace {

bool run(const QStringList &arguments, QByteArray *output = nullptr, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(arguments.first(), arguments.mid(1));
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (output)
        *output = process.readAll();
    if (exitCode)
        *exitCode = process.exitCode();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Two namespaces for the lifetime of the object, removed (with the veth pair in
// them) even when the test fails half-way.
class Namespaces {
public:
    Namespaces()
        : home(QStringLiteral("corvane-home-%1").arg(getpid()))
        , neighbour(QStringLiteral("corvane-nbr-%1").arg(getpid()))
    {
    }
    ~Namespaces()
    {
        run({"ip", "netns", "del", home});
        run({"ip", "netns", "del", neighbour});
    }
    Namespaces(const Namespaces &) = delete;
    Namespaces &operator=(const Namespaces &) = delete;

    // Returns an empty string on success, else what went wrong.
    QString create()
    {
        QByteArray output;
        if (!run({"ip", "netns", "add", home}, &output))
            return QString::fromLocal8Bit(output);
        const QList<QStringList> steps = {
            {"ip", "netns", "add", neighbour},
            {"ip", "-n", home, "link", "add", "cv0", "type", "veth", "peer", "name", "cv1", "netns", neighbour},
            {"ip", "-n", home, "addr", "add", "10.200.0.1/24", "dev", "cv0"},
            {"ip", "-n", neighbour, "addr", "add", "10.200.0.2/24", "dev", "cv1"},
            {"ip", "-n", home, "link", "set", "lo", "up"},
            {"ip", "-n", home, "link", "set", "cv0", "up"},
            {"ip", "-n", neighbour, "link", "set", "lo", "up"},
            {"ip", "-n", neighbour, "link", "set", "cv1", "up"},
        };
        for (const QStringList &step : steps) {
            if (!run(step, &output))
                return step.join(' ') + QStringLiteral(": ") + QString::fromLocal8Bit(output);
        }
        return QString();
    }

    QString home;
    QString neighbour;
};

} // namespace

class TestForeignSender : public QObject {
    Q_OBJECT

    std::unique_ptr<Namespaces> m_namespaces;
    // A fresh endpoint, log folder and output for every test function, so none
    // depends on the counts and the last id another left behind.
    std::unique_ptr<QTemporaryDir> m_logDir;
    std::unique_ptr<QProcess> m_probe;
    QByteArray m_probeOutput;
    const QString m_port = QStringLiteral("1195");
    const QString m_ackPort = QStringLiteral("1196");
    const QString m_laterAddress = QStringLiteral("10.200.1.1");

    // corvane-send in one of the namespaces; returns its exit code.
    int sendFrom(const QString &ns, const QString &host, const QString &id)
    {
        QByteArray output;
        int exitCode = -1;
        run({"ip", "netns", "exec", ns, senderProgram(), "--host", host, "--port", m_port,
             "--ack-port", m_ackPort, "--id", id, "--list", "1", "--subject", "s", "--text", "t", "--timeout",
             "0.4", "--retries", "3"},
            &output, &exitCode);
        qInfo("corvane-send from %s to %s: %d %s", qPrintable(ns), qPrintable(host), exitCode, output.constData());
        // Only a sender that ran and waited counts; a failure to start it says
        // nothing about the endpoint.
        if (!output.contains("acknowledged: id") && !output.contains("no acknowledgement"))
            return -1;
        return exitCode;
    }

    void stopProbe()
    {
        if (m_probe && m_probe->state() != QProcess::NotRunning) {
            m_probe->kill();
            m_probe->waitForFinished(5000);
        }
        m_probe.reset();
    }

private slots:
    void initTestCase()
    {
        if (geteuid() != 0)
            QSKIP("needs root to create network namespaces (ip netns add); skipped");
        m_namespaces = std::make_unique<Namespaces>();
        const QString problem = m_namespaces->create();
        if (!problem.isEmpty()) {
            m_namespaces.reset();
            QSKIP(qPrintable(QStringLiteral("cannot set up network namespaces here: ") + problem));
        }
    }

    void init()
    {
        m_logDir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_logDir->isValid());
        m_probeOutput.clear();
        m_probe = std::make_unique<QProcess>();
        connect(m_probe.get(), &QProcess::readyRead, this, [this] { m_probeOutput += m_probe->readAll(); });
        m_probe->setProcessChannelMode(QProcess::MergedChannels);
        m_probe->start(QStringLiteral("ip"),
                       {"netns", "exec", m_namespaces->home, QCoreApplication::applicationDirPath() + "/endpoint_probe",
                        m_port, m_ackPort, m_logDir->path()});
        QTRY_VERIFY_WITH_TIMEOUT(m_probeOutput.contains("READY") || m_probe->state() == QProcess::NotRunning, 10000);
        QVERIFY2(m_probeOutput.contains("READY"), m_probeOutput.constData());
    }

    void cleanup()
    {
        stopProbe();
        run({"ip", "-n", m_namespaces->home, "addr", "del", m_laterAddress + "/24", "dev", "cv0"});
    }

    void cleanupTestCase()
    {
        stopProbe();
        m_namespaces.reset();
    }

    void foreignDatagramIsIgnored()
    {
        QCOMPARE(sendFrom(m_namespaces->neighbour, QStringLiteral("10.200.0.1"), QStringLiteral("F001")), 1);
        // The datagrams did arrive (four sends) and were dropped, not lost on the way.
        QTRY_VERIFY_WITH_TIMEOUT(m_probeOutput.contains("DROPPED foreign=4"), 5000);
        QVERIFY2(!m_probeOutput.contains("HANDLED"), m_probeOutput.constData());
        QVERIFY(test::readFiles(m_logDir->path(), QStringLiteral(".TXT")).isEmpty());

        // Same id from this machine: had the foreign request touched the last
        // id, this would be taken for a repeat and not queued.
        QCOMPARE(sendFrom(m_namespaces->home, QStringLiteral("127.0.0.1"), QStringLiteral("F001")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_probeOutput.contains("HANDLED id=46303031 pending=1"), 5000);
    }

    void localSendersAreServed()
    {
        QCOMPARE(sendFrom(m_namespaces->home, QStringLiteral("127.0.0.1"), QStringLiteral("L001")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_probeOutput.contains("HANDLED id=4c303031 pending=1"), 5000);
        // From the address of a local interface rather than loopback.
        QCOMPARE(sendFrom(m_namespaces->home, QStringLiteral("10.200.0.1"), QStringLiteral("L002")), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_probeOutput.contains("HANDLED id=4c303032 pending=2"), 5000);
        QVERIFY2(!m_probeOutput.contains("DROPPED"), m_probeOutput.constData());
    }

    void addressAddedLaterIsLocal()
    {
        QVERIFY(run({"ip", "-n", m_namespaces->home, "addr", "add", m_laterAddress + "/24", "dev", "cv0"}));
        QCOMPARE(sendFrom(m_namespaces->home, m_laterAddress, QStringLiteral("L003")), 0);
        // The endpoint looks at its interfaces at most twice a second, so a
        // first send right after the address came up may be dropped; the
        // sender's resend is served.
        QTRY_VERIFY_WITH_TIMEOUT(m_probeOutput.contains("HANDLED id=4c303033 pending=1"), 5000);
    }
};

QTEST_GUILESS_MAIN(TestForeignSender)
#include "tst_foreign_sender.moc"
