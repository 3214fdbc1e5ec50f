#include "intake/CommandEndpoint.h"
#include "intake/IntakeTestSupport.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <memory>

using namespace corvane;
using namespace corvane::test;

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

} // namespace

class TestCorvaneSend : public QObject, private IntakeChain {
    Q_OBJECT

    std::unique_ptr<CommandEndpoint> m_endpoint;
    quint16 m_port = 0;
    quint16 m_ackPort = 0;

    // The event loop keeps running while the sender works: the endpoint lives in
    // this process.
    // The test's ports go first: a port the arguments name themselves wins.
    Run send(QStringList arguments, const QByteArray &input = QByteArray())
    {
        arguments = QStringList{QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--ack-port"),
                                QString::number(m_ackPort)}
            + arguments;
        QProcess process;
        QSignalSpy finished(&process, &QProcess::finished);
        process.start(senderProgram(), arguments);
        if (!process.waitForStarted(5000))
            return {};
        process.write(input);
        process.closeWriteChannel();
        if (!finished.wait(20000)) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

private slots:
    void init()
    {
        m_lists = RecipientListTable{};
        m_lists[2].Addresses[1] = QStringLiteral("ops@example.com");
        buildChain();
        m_port = test::freeUdpPort();
        m_ackPort = test::freeUdpPort();
        m_endpoint = std::make_unique<CommandEndpoint>(*m_handler, m_port, m_ackPort);
        const Result started = m_endpoint->start();
        QVERIFY2(started, qPrintable(started.error));
    }

    void cleanup() { m_endpoint.reset(); }

    void sendsAndIsAcknowledged()
    {
        const Run run = send({"--list", "2", "--subject", "Pump 3", "--text", "K\u00FChlung aus", "--id", "A001"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("acknowledged: id A001 after 1 send"), run.out.constData());
        QCOMPARE(pending(), 1);
        QCOMPARE(m_queue->emailQueue().at(0).Subject, QStringLiteral("Pump 3"));
        QCOMPARE(m_queue->emailQueue().at(0).Body, QStringLiteral("K\u00FChlung aus"));
        QCOMPARE(m_handler->lastMessageId(), QByteArray("A001"));

        // Same id again: acknowledged, not queued twice.
        QCOMPARE(send({"--list", "2", "--subject", "s", "--text", "t", "--id", "a001"}).exitCode, 0);
        QCOMPARE(pending(), 1);
        // Without --id every run gets a fresh id.
        QCOMPARE(send({"--list", "2", "--subject", "s", "--text", "t"}).exitCode, 0);
        QCOMPARE(send({"--list", "2", "--subject", "s", "--text", "t"}).exitCode, 0);
        QCOMPARE(pending(), 3);
    }

    void textFromStandardInput()
    {
        const Run run = send({"--list", "2", "--subject", "From cron", "--text", "-"},
                             QByteArray("line one\nline \xC3\xA9 two\n"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(pending(), 1);
        QCOMPARE(m_queue->emailQueue().at(0).Body, QStringLiteral("line one\nline \u00E9 two"));
    }

    void rawDatagrams_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<int>("queued");
        QTest::newRow("command 255") << "52303031ff027e79" << 0;
        QTest::newRow("digit list byte") << "5230303101317378" << 0;
        QTest::newRow("three fields") << "52303031010261" "7e" "62" "7e" "63" << 1;
        QTest::newRow("windows-1252") << "5230303101024b" "fc" "686c7e" "80" << 1;
        QTest::newRow("two bytes") << "5859" << 0;
    }
    void rawDatagrams()
    {
        QFETCH(QString, hex);
        QFETCH(int, queued);
        const Run run = send({"--raw", hex});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(pending(), queued);
        QCOMPARE(m_handler->lastMessageId(), QByteArray::fromHex(hex.toLatin1()).left(4));
    }

    void emptyDatagramIsAnsweredOnTheResend()
    {
        QCOMPARE(send({"--raw", "41424344"}).exitCode, 0);
        // The first empty datagram clears the id and is not answered; the resend
        // is a repeat of the empty id and is.
        const Run run = send({"--raw", "", "--timeout", "0.3", "--retries", "2"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("after 2 sends"), run.out.constData());
    }

    void resendsWithTheSameIdUntilTheRightAck()
    {
        m_endpoint.reset(); // a stand-in that loses the first request
        QUdpSocket stub;
        QVERIFY(stub.bind(QHostAddress::LocalHost, m_port));
        QList<QByteArray> received;
        connect(&stub, &QUdpSocket::readyRead, this, [&] {
            while (stub.hasPendingDatagrams()) {
                QByteArray d(stub.pendingDatagramSize(), Qt::Uninitialized);
                QHostAddress from;
                stub.readDatagram(d.data(), d.size(), &from);
                received.append(d);
                if (received.size() == 2)
                    stub.writeDatagram("ZZZZ\x10\x01", from, m_ackPort); // someone else's
                if (received.size() == 3)
                    stub.writeDatagram(d.left(4) + "\x10\x01", from, m_ackPort);
            }
        });
        const Run run = send({"--list", "2", "--subject", "s", "--text", "t", "--timeout", "0.2", "--retries", "5"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("after 3 sends"), run.out.constData());
        QCOMPARE(received.size(), 3);
        QCOMPARE(received.at(1), received.at(0));
        QCOMPARE(received.at(2), received.at(0));
    }

    void givesUpWithAClearMessage()
    {
        m_endpoint.reset();
        const Run run = send({"--list", "2", "--subject", "s", "--text", "t", "--timeout", "0.1", "--retries", "2"});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("no acknowledgement") && run.err.contains("after 3 sends"), run.err.constData());
    }

    void refusesBadArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("complaint");
        QTest::newRow("no list") << QStringList{"--subject", "s", "--text", "t"} << QByteArray("--list");
        QTest::newRow("list 9") << QStringList{"--list", "9", "--subject", "s", "--text", "t"} << QByteArray("--list");
        QTest::newRow("blank subject") << QStringList{"--list", "1", "--subject", "  ", "--text", "t"} << QByteArray("blank");
        QTest::newRow("tilde") << QStringList{"--list", "1", "--subject", "s", "--text", "a~b"} << QByteArray("'~'");
        QTest::newRow("short id") << QStringList{"--list", "1", "--subject", "s", "--text", "t", "--id", "AB"} << QByteArray("--id");
        QTest::newRow("odd hex") << QStringList{"--raw", "123"} << QByteArray("hexadecimal");
        QTest::newRow("retries") << QStringList{"--raw", "00", "--retries", "-1"} << QByteArray("--retries");
        QTest::newRow("stray argument") << QStringList{"--raw", "00", "extra"} << QByteArray("unexpected");
        // Not-a-number passes every range comparison; each numeric option must refuse it.
        const QStringList message{"--subject", "s", "--text", "t"};
        QTest::newRow("list nan") << QStringList{"--list", "nan"} + message << QByteArray("--list");
        QTest::newRow("list inf") << QStringList{"--list", "inf"} + message << QByteArray("--list");
        QTest::newRow("command nan") << QStringList{"--list", "1", "--command", "nan"} + message << QByteArray("--command");
        QTest::newRow("port nan") << QStringList{"--raw", "00", "--port", "nan"} << QByteArray("ports");
        QTest::newRow("ack port -inf") << QStringList{"--raw", "00", "--ack-port", "-inf"} << QByteArray("ports");
        QTest::newRow("timeout nan") << QStringList{"--raw", "00", "--timeout", "NaN"} << QByteArray("--timeout");
        QTest::newRow("timeout inf") << QStringList{"--raw", "00", "--timeout", "inf"} << QByteArray("--timeout");
        QTest::newRow("retries nan") << QStringList{"--raw", "00", "--retries", "nan"} << QByteArray("--retries");
    }
    void refusesBadArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, complaint);
        const Run run = send(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(complaint), run.err.constData());
        QCOMPARE(pending(), 0);
        QCOMPARE(m_handler->lastMessageId(), QByteArray());
    }

    void helpExplainsTheDatagram()
    {
        const Run run = send({"--help"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains("bytes 1-4"));
        QVERIFY(run.out.contains("16 and 1"));
    }
};

QTEST_GUILESS_MAIN(TestCorvaneSend)
#include "tst_corvane_send.moc"
