// Where the server is and how its name is found: run by private_net.sh in a
// network namespace with a public-looking address, a private one and a name
// server that never answers.
#include "mail/MailHarness.h"

#include <QElapsedTimer>
#include <QNetworkProxyFactory>
#include <QTest>
#include <QUdpSocket>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {
const QString User = QStringLiteral("plant");
const QString Password = QStringLiteral("Wh0-Reads-This?");
const QString UnanswerableName = QStringLiteral("mail.nowhere.example");

// A proxy that does not answer, named in the environment and taken up as the
// program does for its token requests: mail must never go through it.
struct DeadProxy {
    explicit DeadProxy(bool named)
    {
        if (!named)
            return;
        for (const char *name : Names)
            qputenv(name, "http://127.0.0.1:" + QByteArray::number(freeTcpPort()));
        QNetworkProxyFactory::setUseSystemConfiguration(true);
    }
    ~DeadProxy()
    {
        for (const char *name : Names)
            qunsetenv(name);
        QNetworkProxyFactory::setUseSystemConfiguration(false);
    }
    static constexpr const char *Names[] = {"http_proxy", "https_proxy", "all_proxy"};
};
} // namespace

class MailNetworkTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void passwordInTheClearOnlyNearby_data();
    void passwordInTheClearOnlyNearby();
    void popPasswordInTheClearOnlyNearby_data() { passwordInTheClearOnlyNearby_data(); }
    void popPasswordInTheClearOnlyNearby();
    void lookupThatNeverAnswers_data();
    void lookupThatNeverAnswers();

private:
    QUdpSocket m_deafResolver; // takes every query and answers none
};

void MailNetworkTest::initTestCase()
{
    if (qgetenv("CORVANE_IN_PRIVATE_NET") != "1")
        QSKIP("needs the private network of private_net.sh");
    QVERIFY(m_deafResolver.bind(QHostAddress(QStringLiteral("127.0.0.1")), 53));
}

void MailNetworkTest::passwordInTheClearOnlyNearby_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("proxyNamed"); // not loopback, which Qt never sends through a proxy
    QTest::newRow("loopback") << "127.0.0.1" << true << false;
    QTest::newRow("private network") << "10.77.0.7" << true << false;
    QTest::newRow("private network, a dead proxy named") << "10.77.0.7" << true << true;
    QTest::newRow("elsewhere") << "198.51.100.7" << false << false;
}

void MailNetworkTest::passwordInTheClearOnlyNearby()
{
    QFETCH(QString, address);
    QFETCH(bool, allowed);
    QFETCH(bool, proxyNamed);
    const DeadProxy proxy(proxyNamed);
    CaptureServer server; // offers AUTH, no STARTTLS
    QVERIFY(server.start({"--host", address, "--auth-user", User, "--auth-password", Password, "--log-auth"}));
    MailComponent component(shortTimeouts(5s, 20s));
    fillPlainMessage(component, QStringLiteral("%1:%2").arg(address).arg(server.port()));
    component.setServerLogin(true);
    component.setUserName(User);
    component.setPassword(Password);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();
    if (allowed) {
        QVERIFY2(record.ok(), qPrintable(record.statusText()));
        QVERIFY(server.waitForMessages(1));
        QCOMPARE(server.outputLines(QStringLiteral("AUTH ")), QStringList{QStringLiteral("AUTH ") + User});
        return;
    }
    QCOMPARE(record.failed, 1);
    QVERIFY2(record.explanation.contains(QStringLiteral("port 587 or 465")), qPrintable(record.explanation));
    QVERIFY2(record.explanation.contains(QStringLiteral("smtps://")), qPrintable(record.explanation));
    QVERIFY(!record.statusText().contains(QStringLiteral("connecting again")));
    // What the server got: no login attempt, no message.
    QVERIFY(server.outputLines(QStringLiteral("AUTH")).isEmpty());
    QVERIFY(server.messageFiles().isEmpty());
}

void MailNetworkTest::popPasswordInTheClearOnlyNearby()
{
    QFETCH(QString, address);
    QFETCH(bool, allowed);
    QFETCH(bool, proxyNamed);
    const DeadProxy proxy(proxyNamed);
    const quint16 popPort = freeTcpPort();
    PeerProcess pop; // offers no STLS
    QVERIFY(pop.start(QString::fromLatin1(SystemPython),
                      {supportDir() + QStringLiteral("/pop3_plain.py"), QStringLiteral("--port"),
                       QString::number(popPort), QStringLiteral("--host"), address},
                      QStringLiteral("READY")));
    CaptureServer smtp;
    QVERIFY(smtp.start());
    MailComponent component(shortTimeouts(5s, 20s));
    fillPlainMessage(component, smtp.host());
    component.setPopLogin(true);
    component.setPop3Host(QStringLiteral("%1:%2").arg(address).arg(popPort));
    component.setUserName(User);
    component.setPassword(Password);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();
    QVERIFY2(record.ok(), qPrintable(record.statusText())); // the alarm goes out either way
    pop.process().waitForReadyRead(200);
    const QByteArray seen = pop.output() + pop.process().readAll();
    if (allowed) {
        QVERIFY2(seen.contains("PASS"), seen.constData());
        QVERIFY(record.status.contains(QStringLiteral("POP3 login succeeded as ") + User));
    } else {
        QVERIFY2(!seen.contains("PASS"), seen.constData());
        QVERIFY2(record.statusText().contains(QStringLiteral("use port 995 or pop3s://")),
                 qPrintable(record.statusText()));
    }
}

void MailNetworkTest::lookupThatNeverAnswers_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("cancelled") << true;
    QTest::newRow("connect limit") << false;
}

void MailNetworkTest::lookupThatNeverAnswers()
{
    QFETCH(bool, cancel);
    MailTimeouts timeouts = shortTimeouts(2s, 20s);
    MailComponent component(cancel ? MailTimeouts{} : timeouts);
    fillPlainMessage(component, UnanswerableName);
    SendRecorder recorder(component);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(recorder.send());
    QTRY_VERIFY_WITH_TIMEOUT(m_deafResolver.hasPendingDatagrams(), 5000); // the lookup is under way
    if (cancel) {
        timer.start();
        component.cancel();
        QVERIFY(recorder.waitFinished(5s));
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(recorder.last().explanation.contains(QStringLiteral("cancelled")));
    } else {
        QVERIFY(recorder.waitFinished(10s));
        const qint64 waited = timer.elapsed();
        QVERIFY2(waited >= timeouts.connect.count() - 300 && waited <= timeouts.connect.count() + 1000,
                 qPrintable(QString::number(waited)));
        QCOMPARE(recorder.last().explanation,
                 QStringLiteral("No connection to %1:25 within 2 seconds").arg(UnanswerableName));
    }
    QCOMPARE(recorder.last().failed, 1);
}


QTEST_GUILESS_MAIN(MailNetworkTest)
#include "tst_mail_network.moc"
