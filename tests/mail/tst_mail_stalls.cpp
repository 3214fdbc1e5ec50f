// Servers that stop answering at each step of the dialogue (a scripted server),
// a kept connection that goes silent (a relay that stops forwarding), and a send
// that throws. The limits are shortened; every wait is on visible state.
#include "mail/MailHarness.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>

#include <new>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

// A Python peer from tests/support whose output lines the test waits for.
class ScriptedPeer {
public:
    bool start(const QString &script, QStringList arguments)
    {
        m_port = freeTcpPort();
        arguments.prepend(supportDir() + QLatin1Char('/') + script);
        arguments << QStringLiteral("--port") << QString::number(m_port);
        return m_peer.start(QString::fromLatin1(SystemPython), arguments, QStringLiteral("READY"));
    }
    quint16 port() const { return m_port; }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    void write(const QByteArray &line) { m_peer.process().write(line); }

    QStringList lines()
    {
        m_later += m_peer.process().readAll();
        return QString::fromUtf8(m_peer.output() + m_later).split(QLatin1Char('\n'));
    }
    bool has(const QString &line) { return lines().contains(line); }
    // Waits (processing events) for a line; `clock` starts when it is seen.
    bool waitFor(const QString &line, std::chrono::milliseconds timeout, QElapsedTimer *clock = nullptr)
    {
        QDeadlineTimer deadline(timeout);
        while (!has(line)) {
            if (deadline.hasExpired())
                return false;
            m_peer.process().waitForReadyRead(5);
            QCoreApplication::processEvents();
        }
        if (clock)
            clock->start();
        return true;
    }

private:
    PeerProcess m_peer;
    QByteArray m_later;
    quint16 m_port = 0;
};

MailTimeouts stallTimeouts()
{
    MailTimeouts t;
    t.connect = 2s;
    t.serverReply = 2s;
    t.wholeAttempt = 20s;
    t.reusedFirstReply = 1s;
    return t;
}

void addPhaseRows()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("login");
    QTest::addColumn<QString>("shownWhileStalled");
    QTest::newRow("greeting") << "greeting" << false << "Connecting to";
    QTest::newRow("EHLO") << "ehlo" << false << "Connected to";
    QTest::newRow("TLS handshake") << "tls" << false << "Connected to";
    QTest::newRow("AUTH") << "auth" << true << "Connected to";
    QTest::newRow("MAIL") << "mail" << false << "Connected to";
    QTest::newRow("RCPT") << "rcpt" << false << "Connected to";
    QTest::newRow("DATA") << "data" << false << "Connected to";
    QTest::newRow("after the final dot") << "dot" << false << "Connected to";
}

bool startStall(ScriptedPeer &server, const QString &phase, bool login)
{
    QStringList arguments{QStringLiteral("--stall"), phase};
    if (login)
        arguments << QStringLiteral("--auth");
    return server.start(QStringLiteral("smtp_stall.py"), arguments);
}

void logInIf(MailComponent &component, bool login)
{
    component.setServerLogin(login);
    component.setUserName(QStringLiteral("plant"));
    component.setPassword(QStringLiteral("not-so-secret"));
}

} // namespace

class MailStallsTest : public QObject {
    Q_OBJECT

private slots:
    void stallEndsAtTheReplyLimit_data() { addPhaseRows(); }
    void stallEndsAtTheReplyLimit();
    void cancelEndsAStallAtOnce_data() { addPhaseRows(); }
    void cancelEndsAStallAtOnce();
    void unansweredQuitDoesNotHoldADeliveredMessage();
    void keptConnectionThatWentSilentIsReplaced();
    void exceptionFailsOnlyThatSend();
    void credentialsEchoedInALongReplyAreMasked();

private:
};

void MailStallsTest::stallEndsAtTheReplyLimit()
{
    QFETCH(QString, phase);
    QFETCH(bool, login);
    QFETCH(QString, shownWhileStalled);
    ScriptedPeer server;
    QVERIFY(startStall(server, phase, login));
    const MailTimeouts timeouts = stallTimeouts();
    MailComponent component(timeouts);
    fillPlainMessage(component, server.host());
    logInIf(component, login);
    SendRecorder recorder(component);
    QVERIFY(recorder.send());

    QElapsedTimer stalled;
    QVERIFY(server.waitFor(QStringLiteral("STALL ") + phase, 10s, &stalled));
    // What happened so far reaches the operator while the server keeps quiet.
    QTRY_VERIFY_WITH_TIMEOUT(recorder.last().statusText().contains(shownWhileStalled), 500);
    QCOMPARE(recorder.last().finished, 0);

    QVERIFY(recorder.waitFinished(10s));
    const qint64 waited = stalled.elapsed();
    const qint64 limit = timeouts.serverReply.count();
    QCOMPARE(recorder.last().failed, 1);
    QCOMPARE(recorder.last().explanation, QStringLiteral("No answer from the server within 2 seconds"));
    QVERIFY2(waited >= limit - 300 && waited <= limit + 1000, qPrintable(QString::number(waited)));
    // Abandoned, not closed politely.
    QVERIFY(server.waitFor(QStringLiteral("CLOSED"), 1s));
    QVERIFY(!server.has(QStringLiteral("RECV QUIT")));

    // The next message goes out as if nothing had happened.
    CaptureServer next;
    QVERIFY(next.start());
    fillPlainMessage(component, next.host());
    logInIf(component, false);
    QVERIFY(recorder.sendAndWait());
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    QVERIFY(next.waitForMessages(1));
}

void MailStallsTest::cancelEndsAStallAtOnce()
{
    QFETCH(QString, phase);
    QFETCH(bool, login);
    ScriptedPeer server;
    QVERIFY(startStall(server, phase, login));
    MailComponent component(MailTimeouts{}); // the real limits: only the cancel can end this
    fillPlainMessage(component, server.host());
    logInIf(component, login);
    SendRecorder recorder(component);
    QVERIFY(recorder.send());
    QVERIFY(server.waitFor(QStringLiteral("STALL ") + phase, 10s));
    QElapsedTimer timer;
    timer.start();
    component.cancel();
    QVERIFY(recorder.waitFinished(5s));
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(recorder.last().failed, 1);
    QVERIFY(recorder.last().explanation.contains(QStringLiteral("cancelled")));
    QVERIFY(server.waitFor(QStringLiteral("CLOSED"), 1s));
    QVERIFY(!server.has(QStringLiteral("RECV QUIT")));
}

void MailStallsTest::unansweredQuitDoesNotHoldADeliveredMessage()
{
    ScriptedPeer server;
    QVERIFY(startStall(server, QStringLiteral("quit"), false));
    const MailTimeouts timeouts = stallTimeouts();
    MailOptions options;
    options.reuseConnection = false; // every message ends with QUIT
    MailComponent component(timeouts, options);
    fillPlainMessage(component, server.host());
    SendRecorder recorder(component);
    QVERIFY(recorder.send());
    QElapsedTimer stalled;
    QVERIFY(server.waitFor(QStringLiteral("STALL quit"), 10s, &stalled));
    QVERIFY(recorder.waitFinished(10s));
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    const qint64 limit = std::min(timeouts.politeClose, timeouts.serverReply).count();
    // The message is reported first; the unanswered QUIT then ends at its limit.
    QVERIFY(server.waitFor(QStringLiteral("CLOSED"), std::chrono::milliseconds(limit + 1000)));
    QVERIFY2(stalled.elapsed() <= limit + 1000, qPrintable(QString::number(stalled.elapsed())));
}

void MailStallsTest::keptConnectionThatWentSilentIsReplaced()
{
    CaptureServer capture;
    QVERIFY(capture.start());
    ScriptedPeer gate;
    QVERIFY(gate.start(QStringLiteral("tcp_gate.py"),
                       {QStringLiteral("--target"), QString::number(capture.port())}));
    const MailTimeouts timeouts = stallTimeouts();
    MailComponent component(timeouts);
    fillPlainMessage(component, gate.host());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    QVERIFY(capture.waitForMessages(1));

    // A firewall forgets the idle connection: what goes in is never answered.
    gate.write("freeze\n");
    QVERIFY(gate.waitFor(QStringLiteral("FROZEN 1"), 5s));
    QElapsedTimer timer;
    timer.start();
    QVERIFY(recorder.sendAndWait(10s));
    const SendRecord &record = recorder.last();
    QVERIFY2(record.ok(), qPrintable(record.statusText()));
    QVERIFY2(record.statusText().contains(QStringLiteral("did not answer; connecting again")),
             qPrintable(record.statusText()));
    // Given up after the short bound for a kept connection, not the reply limit.
    QVERIFY2(timer.elapsed() < timeouts.serverReply.count(), qPrintable(QString::number(timer.elapsed())));
    QVERIFY(capture.waitForMessages(2));
    // Sent once: the silent connection carried nothing the server accepted.
    QCOMPARE(capture.messageFiles().size(), 2);
}

void MailStallsTest::exceptionFailsOnlyThatSend()
{
    CaptureServer capture;
    QVERIFY(capture.start());
    MailOptions options;
    int dates = 0;
    options.clock = [&dates] {
        if (++dates == 1)
            throw std::bad_alloc();
        return QDateTime(QDate(2026, 12, 7), QTime(12, 0));
    };
    MailComponent component(stallTimeouts(), options);
    fillPlainMessage(component, capture.host());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().failed, 1);
    QCOMPARE(recorder.last().finished, 1);
    QCOMPARE(recorder.last().explanation, QStringLiteral("Sending failed: out of memory"));
    QCOMPARE(recorder.last().status.last(), recorder.last().explanation);

    QVERIFY(recorder.sendAndWait());
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    QVERIFY(capture.waitForMessages(1));
}

void MailStallsTest::credentialsEchoedInALongReplyAreMasked()
{
    ScriptedPeer server;
    QVERIFY(server.start(QStringLiteral("smtp_stall.py"),
                         {QStringLiteral("--stall"), QStringLiteral("none"), QStringLiteral("--auth"),
                          QStringLiteral("--echo-auth")}));
    MailComponent component(stallTimeouts());
    fillPlainMessage(component, server.host());
    const QString user = QStringLiteral("plant-operator");
    const QString password = QStringLiteral("Seventeen-chars!!");
    component.setServerLogin(true);
    component.setUserName(user);
    component.setPassword(password);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();
    QCOMPARE(record.failed, 1);
    QVERIFY2(record.explanation.startsWith(QStringLiteral("Login denied by the server (535")),
             qPrintable(record.explanation));
    QVERIFY2(record.explanation.contains(QStringLiteral("********")), qPrintable(record.explanation));
    const QByteArray blob = QByteArray('\0' + user.toUtf8() + '\0' + password.toUtf8()).toBase64();
    for (const QString &line : record.status) {
        QVERIFY2(!line.contains(password), qPrintable(line));
        for (int from = 0; from + 8 <= blob.size(); from += 4)
            QVERIFY2(!line.contains(QString::fromLatin1(blob.mid(from, 8))), qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(MailStallsTest)
#include "tst_mail_stalls.moc"
