// Servers that hang up or never answer: Postfix's smtp-sink and a bare
// TCP listener on loopback, with shortened timeouts; and Postfix's smtpd on
// how a refused login ends.
#include "mail/MailHarness.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

const QString SmtpSink = QStringLiteral("/usr/sbin/smtp-sink");

// smtp-sink on a free port with the given fault options.
bool startSink(PeerProcess &peer, quint16 *port, const QStringList &options)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        *port = freeTcpPort();
        QStringList args = options;
        args << QStringLiteral("-u") << QStringLiteral("nobody")
             << QStringLiteral("127.0.0.1:%1").arg(*port) << QStringLiteral("10");
        if (peer.start(SmtpSink, args, QString(), *port))
            return true;
        peer.stop();
    }
    return false;
}

MailTimeouts hungTimeouts()
{
    return shortTimeouts(std::chrono::seconds(2), std::chrono::seconds(10));
}

} // namespace

class MailFaultsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void disconnectAfterMessage();
    void nobodyListening();
    void serverThatNeverAnswers();
    void serverThatStopsAnsweringAfterData();
    void cancelEndsAHungAttemptWithinASecond();
    void destroyingTheComponentDuringAHungSend();
    void postfixLogsQuitAfterARefusedLogin();

private:
};

void MailFaultsTest::initTestCase()
{
    if (!QFileInfo(SmtpSink).isExecutable())
        QSKIP("smtp-sink is not installed (Debian package postfix)");
}

void MailFaultsTest::disconnectAfterMessage()
{
    PeerProcess sink;
    quint16 port = 0;
    QVERIFY(startSink(sink, &port, {"-q", "."}));
    const std::optional<SendRecord> record = sendPlainMessage(QStringLiteral("127.0.0.1:%1").arg(port));
    QVERIFY(record);
    QCOMPARE(record->failed, 1);
    QCOMPARE(record->explanation, QStringLiteral("The server closed the connection before confirming the message"));
    // The whole message went out before the server hung up.
    QCOMPARE(record->progress.last(), 100);
}

void MailFaultsTest::nobodyListening()
{
    const quint16 port = freeTcpPort();
    const std::optional<SendRecord> record = sendPlainMessage(QStringLiteral("127.0.0.1:%1").arg(port));
    QVERIFY(record);
    QCOMPARE(record->failed, 1);
    QCOMPARE(record->explanation, QStringLiteral("Cannot connect to 127.0.0.1:%1: nothing answers there").arg(port));
}

void MailFaultsTest::serverThatNeverAnswers()
{
    SilentServer silent;
    QVERIFY(silent.listen());
    MailComponent component(hungTimeouts());
    fillPlainMessage(component, QStringLiteral("127.0.0.1:%1").arg(silent.port()));
    SendRecorder recorder(component);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(recorder.sendAndWait(std::chrono::seconds(15)));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(recorder.last().failed, 1);
    QVERIFY2(recorder.last().explanation.startsWith(QStringLiteral("No answer from the server within 2 seconds")),
             qPrintable(recorder.last().explanation));
    QVERIFY2(elapsed >= 1500 && elapsed < 9000, qPrintable(QString::number(elapsed)));
}

void MailFaultsTest::serverThatStopsAnsweringAfterData()
{
    PeerProcess sink;
    quint16 port = 0;
    QVERIFY(startSink(sink, &port, {"-w", "8"})); // answers DATA only after 8 s
    MailComponent component(hungTimeouts());
    fillPlainMessage(component, QStringLiteral("127.0.0.1:%1").arg(port));
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait(std::chrono::seconds(15)));
    QCOMPARE(recorder.last().failed, 1);
    QVERIFY2(recorder.last().explanation.startsWith(QStringLiteral("No answer from the server within 2 seconds")),
             qPrintable(recorder.last().explanation));
    QVERIFY(recorder.last().statusText().contains(QStringLiteral("Connected to")));
}

void MailFaultsTest::cancelEndsAHungAttemptWithinASecond()
{
    SilentServer silent;
    QVERIFY(silent.listen());
    MailTimeouts slow; // the real, long timeouts: only cancel() can end this
    MailComponent component(slow);
    fillPlainMessage(component, QStringLiteral("127.0.0.1:%1").arg(silent.port()));
    SendRecorder recorder(component);
    QVERIFY(recorder.send());
    QTRY_VERIFY_WITH_TIMEOUT(silent.accepted() == 1, 5000); // waiting for the greeting now
    QElapsedTimer timer;
    timer.start();
    component.cancel();
    QVERIFY(recorder.waitFinished(std::chrono::seconds(5)));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(recorder.last().failed, 1);
    QVERIFY(recorder.last().explanation.contains(QStringLiteral("cancelled")));
    // Cut, not closed politely: no QUIT to a server that does not answer.
    QTRY_COMPARE_WITH_TIMEOUT(silent.openConnections(), 0, 1000);
    QVERIFY2(!silent.received().contains("QUIT"), silent.received().constData());

    // The component is ready for the next message.
    CaptureServer server;
    QVERIFY(server.start());
    fillPlainMessage(component, server.host());
    QVERIFY(recorder.sendAndWait());
    QVERIFY(recorder.last().ok());
}

void MailFaultsTest::destroyingTheComponentDuringAHungSend()
{
    SilentServer silent;
    QVERIFY(silent.listen());
    auto component = std::make_unique<MailComponent>(MailTimeouts{});
    fillPlainMessage(*component, QStringLiteral("127.0.0.1:%1").arg(silent.port()));
    SendRecorder recorder(*component);
    QVERIFY(recorder.send());
    QTRY_VERIFY_WITH_TIMEOUT(silent.accepted() == 1, 5000);
    QElapsedTimer timer;
    timer.start();
    component.reset();
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    // The connection is cut at once, without a QUIT left to wait for.
    QTRY_COMPARE_WITH_TIMEOUT(silent.openConnections(), 0, 1000);
    QVERIFY2(!silent.received().contains("QUIT"), silent.received().constData());
}

// Postfix's own smtpd (from a scratch configuration, signing in through
// Dovecot): a refused login ends with QUIT, and it logs no lost connection.
void MailFaultsTest::postfixLogsQuitAfterARefusedLogin()
{
    QTemporaryDir dir;
    PeerProcess postfix;
    QVERIFY(postfix.start(QString::fromLatin1(SystemPython),
                          {supportDir() + QStringLiteral("/postfix_smtpd.py"), QStringLiteral("--dir"), dir.path(),
                           QStringLiteral("--user"), QStringLiteral("alarm"), QStringLiteral("--password"),
                           QStringLiteral("right")},
                          QStringLiteral("READY")));
    const QByteArray port = postfix.output().split(' ').value(1).trimmed();
    MailComponent component(shortTimeouts(std::chrono::seconds(10), std::chrono::seconds(20))); // smtpd starts slowly
    fillPlainMessage(component, QStringLiteral("127.0.0.1:") + QString::fromLatin1(port));
    component.setServerLogin(true);
    component.setUserName(QStringLiteral("alarm"));
    component.setPassword(QStringLiteral("wrong"));
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().failed, 1);
    QByteArray log;
    QVERIFY(QTest::qWaitFor([&] { return (log += postfix.process().readAll()).contains("disconnect from"); }, 10000));
    QVERIFY2(log.contains("auth=0/1 quit=1") && !log.contains("lost connection"), log.constData());
}

QTEST_GUILESS_MAIN(MailFaultsTest)
#include "tst_mail_faults.moc"
