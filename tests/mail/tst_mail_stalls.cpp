// Servers that stop answering at each step of the dialogue (a scripted server),
// a kept connection that goes silent (a relay that stops forwarding), and a send
// that throws. The session's time is a clock moved by hand, so every limit,
// the program's own minute included, is checked to the millisecond without
// being waited for; one stall runs on real timers as a guard. Every wait is
// on visible state.
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

// A row per step a server can stall at: the step, whether the client signs
// in, and what the operator has been told by then. With `whole`, whether the
// limit that ends it is the whole attempt's, in a row of its own.
void addPhaseRows(bool withWhole = false)
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("login");
    QTest::addColumn<QString>("shownWhileStalled");
    if (withWhole)
        QTest::addColumn<bool>("whole");
    const struct {
        const char *name, *phase;
        bool login;
        const char *shown;
    } rows[] = {{"greeting", "greeting", false, "Connecting to"}, {"EHLO", "ehlo", false, "Connected to"},
                {"TLS handshake", "tls", false, "Connected to"},  {"AUTH", "auth", true, "Connected to"},
                {"MAIL", "mail", false, "Connected to"},          {"RCPT", "rcpt", false, "Connected to"},
                {"DATA", "data", false, "Connected to"},          {"after the final dot", "dot", false, "Connected to"}};
    for (const auto &row : rows) {
        QTestData &data = QTest::newRow(row.name) << QString::fromLatin1(row.phase) << row.login
                                                  << QString::fromLatin1(row.shown);
        if (withWhole)
            data << false;
    }
    if (withWhole)
        QTest::newRow("whole attempt, after the final dot") << QStringLiteral("dot") << false
                                                            << QStringLiteral("Connected to") << true;
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
    void stallEndsAtItsLimit_data();
    void stallEndsAtItsLimit();
    void realTimersEndAStall();
    void cancelEndsAStallAtOnce_data() { addPhaseRows(); }
    void cancelEndsAStallAtOnce();
    void unansweredQuitEndsAtItsLimit_data();
    void unansweredQuitEndsAtItsLimit();
    void keptConnectionThatWentSilentIsReplaced();
    void exceptionFailsOnlyThatSend();
    void credentialsEchoedInALongReplyAreMasked();
};

void MailStallsTest::stallEndsAtItsLimit_data()
{
    addPhaseRows(true);
}

void MailStallsTest::stallEndsAtItsLimit()
{
    QFETCH(QString, phase);
    QFETCH(bool, login);
    QFETCH(QString, shownWhileStalled);
    QFETCH(bool, whole);
    ScriptedPeer server;
    QVERIFY(startStall(server, phase, login));
    MailTimeouts timeouts; // the program's own: a minute for a reply, five for the whole attempt
    if (whole)
        timeouts.serverReply = 10min;
    const std::chrono::milliseconds limit = whole ? timeouts.wholeAttempt : timeouts.serverReply;
    ManualSessionClock clock;
    SessionRecorder run;
    SmtpSession session(timeouts, true, run, nullptr, &clock);
    SmtpAccount account = loopbackAccount(server.port());
    account.login = login;
    account.userName = QStringLiteral("plant");
    account.password = QStringLiteral("not-so-secret");
    session.submit(account, smallMessage(1));

    QVERIFY(server.waitFor(QStringLiteral("STALL ") + phase, 10s));
    // The client has acted on all the server said before going quiet: the 220
    // to STARTTLS is the one reply a stall comes after.
    QTRY_VERIFY(session.socket().state() == QAbstractSocket::ConnectedState
                && (phase != QLatin1String("tls") || run.steps.contains(SmtpStep::StartTls)));
    // What happened so far reaches the operator while the server keeps quiet.
    QVERIFY2(run.statusContains(shownWhileStalled), qPrintable(run.status.join('\n')));

    clock.advance(limit - 1ms);
    QVERIFY(run.finished.isEmpty());
    clock.advance(1ms);
    QCOMPARE(run.finished.size(), 1);
    const MailOutcome outcome = run.outcome();
    QCOMPARE(outcome.explanation, whole ? QStringLiteral("The send did not finish within 5 minutes")
                                        : QStringLiteral("No answer from the server within 60 seconds"));
    // The final "." went out unanswered: the server may have taken it.
    QCOMPARE(outcome.kind, phase == QLatin1String("dot") ? MailOutcome::Kind::NoFinalReply : MailOutcome::Kind::NotSent);
    // Abandoned, not closed politely.
    QVERIFY(server.waitFor(QStringLiteral("CLOSED"), 1s));
    QVERIFY(!server.has(QStringLiteral("RECV QUIT")));

    // The next message goes out as if nothing had happened.
    CaptureServer next;
    QVERIFY(next.start());
    session.submit(loopbackAccount(next.port()), smallMessage(2));
    QVERIFY(run.waitFinished(2));
    QVERIFY2(run.outcome(2).accepted(), qPrintable(run.outcome(2).explanation));
    QVERIFY(next.waitForMessages(1));
}

// The guard: the same rule through the component, on real timers.
void MailStallsTest::realTimersEndAStall()
{
    ScriptedPeer server;
    QVERIFY(startStall(server, QStringLiteral("dot"), false));
    const MailTimeouts timeouts = stallTimeouts();
    MailComponent component(timeouts);
    fillPlainMessage(component, server.host());
    SendRecorder recorder(component);
    QVERIFY(recorder.send());

    QElapsedTimer stalled;
    QVERIFY(server.waitFor(QStringLiteral("STALL dot"), 10s, &stalled));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.last().statusText().contains(QStringLiteral("Connected to")), 500);
    QCOMPARE(recorder.last().finished, 0);

    QVERIFY(recorder.waitFinished(10s));
    const qint64 waited = stalled.elapsed();
    const qint64 limit = timeouts.serverReply.count();
    QCOMPARE(recorder.last().failed, 1);
    QCOMPARE(recorder.last().explanation, QStringLiteral("No answer from the server within 2 seconds"));
    QVERIFY2(waited >= limit - 300 && waited <= limit + 1000, qPrintable(QString::number(waited)));
    QVERIFY(server.waitFor(QStringLiteral("CLOSED"), 1s));
    QVERIFY(!server.has(QStringLiteral("RECV QUIT")));
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

void MailStallsTest::unansweredQuitEndsAtItsLimit_data()
{
    QTest::addColumn<bool>("reuse");
    QTest::newRow("kept connection, once idle") << true;
    QTest::newRow("one session per message") << false;
}

void MailStallsTest::unansweredQuitEndsAtItsLimit()
{
    QFETCH(bool, reuse);
    ScriptedPeer server;
    QVERIFY(startStall(server, QStringLiteral("quit"), false));
    const MailTimeouts timeouts;
    ManualSessionClock clock;
    SessionRecorder run;
    SmtpSession session(timeouts, reuse, run, nullptr, &clock);
    session.submit(loopbackAccount(server.port()), smallMessage(1));
    // The message is reported before anything of the QUIT.
    QVERIFY(run.waitFinished(1));
    QVERIFY2(run.outcome().accepted(), qPrintable(run.outcome().explanation));
    if (reuse) {
        // Kept for the next message until it has been idle too long.
        QCOMPARE(clock.untilNext().value_or(0ms), timeouts.idleConnectionAge);
        clock.advance(timeouts.idleConnectionAge - 1ms);
        QCOMPARE(clock.untilNext().value_or(0ms), 1ms);
        clock.advance(1ms);
    }
    QVERIFY(server.waitFor(QStringLiteral("STALL quit"), 10s));
    QCOMPARE(clock.untilNext().value_or(0ms), timeouts.politeClose);
    clock.advance(timeouts.politeClose - 1ms);
    QVERIFY(session.isConnected());
    clock.advance(1ms);
    QVERIFY(!session.isConnected());
    QVERIFY(server.waitFor(QStringLiteral("CLOSED"), 1s));
}

void MailStallsTest::keptConnectionThatWentSilentIsReplaced()
{
    CaptureServer capture;
    QVERIFY(capture.start());
    ScriptedPeer gate;
    QVERIFY(gate.start(QStringLiteral("tcp_gate.py"),
                       {QStringLiteral("--target"), QString::number(capture.port())}));
    const MailTimeouts timeouts;
    ManualSessionClock clock;
    SessionRecorder run;
    SmtpSession session(timeouts, true, run, nullptr, &clock);
    const SmtpAccount account = loopbackAccount(gate.port());
    session.submit(account, smallMessage(1, "first"));
    QVERIFY(run.waitFinished(1));
    QVERIFY2(run.outcome(1).accepted(), qPrintable(run.outcome(1).explanation));
    QVERIFY(capture.waitForMessages(1));

    // A firewall forgets the idle connection: what goes in is never answered.
    gate.write("freeze\n");
    QVERIFY(gate.waitFor(QStringLiteral("FROZEN 1"), 5s));
    session.submit(account, smallMessage(2, "second"));
    // Given up after the short bound for a kept connection, not the reply limit.
    clock.advance(timeouts.reusedFirstReply - 1ms);
    QVERIFY(!run.statusContains(QStringLiteral("connecting again")));
    clock.advance(1ms);
    QVERIFY2(run.statusContains(QStringLiteral("The open connection to %1 did not answer; connecting again")
                                    .arg(account.endpoint.display)),
             qPrintable(run.status.join('\n')));
    QVERIFY(run.waitFinished(2));
    QVERIFY2(run.outcome(2).accepted(), qPrintable(run.outcome(2).explanation));
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
