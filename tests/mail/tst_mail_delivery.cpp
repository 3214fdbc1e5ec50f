// Delivery to a real SMTP server (aiosmtpd on loopback), the received message
// read back with Python's e-mail parser.
#include "mail/MailHarness.h"
#include "mail/TokenProvider.h"

#include <QJsonArray>
#include <QTest>

#include <algorithm>

using namespace corvane;
using namespace corvane::test;

class MailDeliveryTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void plainDeliveryReportsEveryStep();
    void messageReadsBackAsSent();
    void htmlAndPlainText();
    void priorityAndReceiptHeaders();
    void headerInjectionIsDefused();
    void unsafeEnvelopeAddressesNeverReachTheServer();
    void bodyLineEndsAndDots();
    void refusedRecipientAmongGoodOnes();
    void missingServerOrSender();
    void propertiesAreCopiedWhenSendStarts();
    void proxyFromTheEnvironmentIsIgnored();
    void connectionIsKeptForTheSameServer();
    void sessionPerMessageWhenReuseIsOff();
    void serverClosedTheKeptConnection();
    void serverHungUpJustAsTheConnectionWasReused();
    void takeBackWhileAMessageWaitsForANewToken();

private:
    QJsonObject sendAndParse(MailComponent &component, CaptureServer &server, SendRecord *record = nullptr);

    CaptureServer m_server;
};

void MailDeliveryTest::initTestCase()
{
    QVERIFY(m_server.start());
}

QJsonObject MailDeliveryTest::sendAndParse(MailComponent &component, CaptureServer &server, SendRecord *record)
{
    const int before = static_cast<int>(server.messageFiles().size());
    SendRecorder recorder(component);
    if (!recorder.sendAndWait()) {
        qWarning() << "send did not finish";
        return {};
    }
    if (record)
        *record = recorder.last();
    if (!recorder.last().ok()) {
        qWarning().noquote() << "send failed:" << recorder.last().statusText();
        return {};
    }
    if (!server.waitForMessages(before + 1))
        return {};
    return server.parsed(before);
}

void MailDeliveryTest::plainDeliveryReportsEveryStep()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    SendRecord record;
    const QJsonObject mail = sendAndParse(component, m_server, &record);
    QVERIFY(!mail.isEmpty());

    // Events come in order: progress and status lines, one outcome, then finished.
    QCOMPARE(record.events.last(), QStringLiteral("finished"));
    QCOMPARE(record.events.at(record.events.size() - 2), QStringLiteral("SendSuccesful"));
    QVERIFY(!record.lateEvent);
    QCOMPARE(record.progress.first(), 0);
    QCOMPARE(record.progress.last(), 100);
    for (int i = 1; i < record.progress.size(); ++i)
        QVERIFY2(record.progress[i] > record.progress[i - 1], "progress repeats or goes back");

    const QString text = record.statusText();
    QVERIFY2(text.contains(QStringLiteral("Connecting to %1").arg(m_server.host())), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Connected to %1 (not encrypted)").arg(m_server.host())), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Server reply: 250 Message accepted for delivery")), qPrintable(text));
    QVERIFY2(record.status.last().contains(QStringLiteral("2 of 2 recipients")), qPrintable(text));

    QCOMPARE(mail.value("envelope_from").toString(), QStringLiteral("plant@example.com"));
    QCOMPARE(mail.value("envelope_to").toArray(),
             QJsonArray({QStringLiteral("ops@example.com"), QStringLiteral("boss@example.org")}));
}

void MailDeliveryTest::messageReadsBackAsSent()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    component.setSenderName(QStringLiteral("Kläranlage Süd, Halle 2"));
    component.setSubject(QStringLiteral("Störung: Pumpe 3 — Druck < 2 bar ✓ 日本語 ") + QString(60, QLatin1Char('x')));
    component.setMessageText(QStringLiteral("Grüße aus der Leitwarte\r\n") + QString(3000, QLatin1Char('y')));
    component.setRecipients(QStringLiteral(" ops@example.com ;boss@example.org;; "));
    const QJsonObject mail = sendAndParse(component, m_server);
    QVERIFY(!mail.isEmpty());

    QCOMPARE(mail.value("subject").toString(), component.properties().subject);
    QCOMPARE(mail.value("from_name").toString(), QStringLiteral("Kläranlage Süd, Halle 2"));
    QCOMPARE(mail.value("from_addr").toString(), QStringLiteral("plant@example.com"));
    QCOMPARE(mail.value("to").toArray(),
             QJsonArray({QStringLiteral("ops@example.com"), QStringLiteral("boss@example.org")}));
    QVERIFY(mail.value("date_ok").toBool());
    QVERIFY(mail.value("message_id").toString().endsWith(QStringLiteral("@example.com>")));
    QCOMPARE(mail.value("mime_version").toString(), QStringLiteral("1.0"));
    QCOMPARE(mail.value("content_type").toString(), QStringLiteral("text/plain"));
    QCOMPARE(mail.value("charset").toString(), QStringLiteral("utf-8"));
    QCOMPARE(mail.value("body").toString(), QStringLiteral("Grüße aus der Leitwarte\n") + QString(3000, QLatin1Char('y')) + '\n');
    QVERIFY2(mail.value("max_line").toInt() <= 78, qPrintable(mail.value("longest_line").toString()));
    QCOMPARE(mail.value("defects").toArray().size(), 0);
    // No priority was ever set: no priority headers.
    QVERIFY(mail.value("x_priority").isNull());
    QVERIFY(mail.value("importance").isNull());
    QVERIFY(mail.value("receipt_to").isNull());

    // Every message gets its own id.
    const QString firstId = mail.value("message_id").toString();
    const QJsonObject second = sendAndParse(component, m_server);
    QVERIFY(!second.isEmpty());
    QVERIFY(second.value("message_id").toString() != firstId);
}

void MailDeliveryTest::htmlAndPlainText()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    component.setHtml(true);
    component.setMessageText(QStringLiteral("<p>Pump <b>3</b> stopped</p>"));
    QJsonObject mail = sendAndParse(component, m_server);
    QCOMPARE(mail.value("content_type").toString(), QStringLiteral("text/html"));
    QCOMPARE(mail.value("body").toString(), QStringLiteral("<p>Pump <b>3</b> stopped</p>\n"));

    // The non-MIME encoding knew no HTML: the same text goes as plain text.
    component.setEncodingType(1);
    mail = sendAndParse(component, m_server);
    QCOMPARE(mail.value("content_type").toString(), QStringLiteral("text/plain"));
    QCOMPARE(mail.value("body").toString(), QStringLiteral("<p>Pump <b>3</b> stopped</p>\n"));

    component.setEncodingType(0);
    component.setHtml(false);
    mail = sendAndParse(component, m_server);
    QCOMPARE(mail.value("content_type").toString(), QStringLiteral("text/plain"));
}

void MailDeliveryTest::priorityAndReceiptHeaders()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    const struct {
        int priority;
        const char *xPriority;
        const char *importance;
    } cases[] = {{1, "1 (Highest)", "High"}, {3, "3 (Normal)", "Normal"}, {5, "5 (Lowest)", "Low"}};
    for (const auto &c : cases) {
        component.setPriority(c.priority);
        const QJsonObject mail = sendAndParse(component, m_server);
        QCOMPARE(mail.value("x_priority").toString(), QString::fromLatin1(c.xPriority));
        QCOMPARE(mail.value("importance").toString(), QString::fromLatin1(c.importance));
        QVERIFY(mail.value("receipt_to").isNull());
    }
    component.setReturnReceipt(true);
    const QJsonObject mail = sendAndParse(component, m_server);
    QCOMPARE(mail.value("receipt_to").toString(), QStringLiteral("<plant@example.com>"));
    QCOMPARE(mail.value("x_priority").toString(), QStringLiteral("5 (Lowest)")); // kept from before
}

void MailDeliveryTest::headerInjectionIsDefused()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    component.setSubject(QStringLiteral("Alarm\r\nBcc: victim@example.net\r\n\r\nforged body"));
    component.setSenderName(QStringLiteral("Plant\nX-Injected: yes"));
    const QJsonObject mail = sendAndParse(component, m_server);
    QVERIFY(!mail.isEmpty());

    const QJsonArray names = mail.value("header_names").toArray();
    QVERIFY(!names.contains(QStringLiteral("Bcc")));
    QVERIFY(!names.contains(QStringLiteral("X-Injected")));
    QCOMPARE(mail.value("subject").toString(), QStringLiteral("Alarm  Bcc: victim@example.net    forged body"));
    QCOMPARE(mail.value("from_name").toString(), QStringLiteral("Plant X-Injected: yes"));
    QCOMPARE(mail.value("body").toString(), QStringLiteral("Pump 3 stopped at 04:12.\nPressure low.\n"));
    QCOMPARE(mail.value("envelope_to").toArray().size(), 2);
}

void MailDeliveryTest::unsafeEnvelopeAddressesNeverReachTheServer()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    component.setRecipients(QStringLiteral("ops@example.com\r\nRCPT TO:<evil@example.net>; "
                                           "a b@example.com; <x@example.com>; good@example.com"));
    SendRecord record;
    const QJsonObject mail = sendAndParse(component, m_server, &record);
    QVERIFY(!mail.isEmpty());
    QCOMPARE(mail.value("envelope_to").toArray(), QJsonArray({QStringLiteral("good@example.com")}));
    QCOMPARE(mail.value("to").toArray(), QJsonArray({QStringLiteral("good@example.com")}));
    QCOMPARE(record.status.filter(QStringLiteral("Recipient skipped")).size(), 3);

    // An unsafe sender stops the send before any connection.
    component.setSenderAddress(QStringLiteral("plant@example.com>\r\nRCPT TO:<evil@example.net"));
    const int before = static_cast<int>(m_server.messageFiles().size());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().failed, 1);
    QVERIFY(recorder.last().explanation.contains(QStringLiteral("sender address")));
    QVERIFY(recorder.last().statusText().indexOf(QStringLiteral("Connecting")) < 0);
    QVERIFY(!recorder.last().statusText().contains(QLatin1Char('\n') + QStringLiteral("RCPT")));

    // Every recipient unsafe: nothing to send.
    fillPlainMessage(component, m_server.host());
    component.setRecipients(QStringLiteral("a\tb@example.com; "));
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().failed, 1);
    QCOMPARE(m_server.messageFiles().size(), before);
}

void MailDeliveryTest::bodyLineEndsAndDots()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    // A lone "." would end DATA early if it were not stuffed.
    const QString body = QStringLiteral("first\rsecond\nthird\r\n.\r\n..two dots\r\n.hidden\nlast line");
    component.setMessageText(body);
    const QJsonObject mail = sendAndParse(component, m_server);
    QVERIFY(!mail.isEmpty());
    QCOMPARE(mail.value("body").toString(),
             QStringLiteral("first\nsecond\nthird\n.\n..two dots\n.hidden\nlast line\n"));
    QVERIFY(!mail.value("bare_lf").toBool());
    QVERIFY(!mail.value("body_stray_cr").toBool());
}

void MailDeliveryTest::refusedRecipientAmongGoodOnes()
{
    CaptureServer server;
    QVERIFY(server.start({QStringLiteral("--refuse"), QStringLiteral("gone@example.com")}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    component.setRecipients(QStringLiteral("ops@example.com; gone@example.com; boss@example.org"));
    SendRecord record;
    const QJsonObject mail = sendAndParse(component, server, &record);
    QVERIFY(!mail.isEmpty());
    QCOMPARE(record.succeeded, 1);
    QCOMPARE(mail.value("envelope_to").toArray(),
             QJsonArray({QStringLiteral("ops@example.com"), QStringLiteral("boss@example.org")}));
    const QStringList refused = record.status.filter(QStringLiteral("Recipient refused"));
    QCOMPARE(refused.size(), 1);
    QVERIFY2(refused.first().contains(QStringLiteral("gone@example.com (550")), qPrintable(refused.first()));
    QVERIFY(record.status.last().contains(QStringLiteral("2 of 3 recipients")));
}

void MailDeliveryTest::missingServerOrSender()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, QString());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().events,
             QStringList({QStringLiteral("Status"), QStringLiteral("SendFailed"), QStringLiteral("finished")}));
    QVERIFY(recorder.last().status.first().contains(QStringLiteral("No SMTP server")));

    fillPlainMessage(component, m_server.host());
    component.setSenderAddress(QStringLiteral("   "));
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().events,
             QStringList({QStringLiteral("Status"), QStringLiteral("SendFailed"), QStringLiteral("finished")}));
    QVERIFY(recorder.last().status.first().contains(QStringLiteral("No sender address")));
}

void MailDeliveryTest::propertiesAreCopiedWhenSendStarts()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    component.setSubject(QStringLiteral("first"));
    SendRecorder recorder(component);
    const int before = static_cast<int>(m_server.messageFiles().size());
    QVERIFY(recorder.send());
    QVERIFY(component.isSending());
    component.setSubject(QStringLiteral("changed while sending"));
    QVERIFY(recorder.waitFinished(std::chrono::seconds(20)));
    QVERIFY(recorder.last().ok());
    QVERIFY(!component.isSending());
    QVERIFY(m_server.waitForMessages(before + 1));
    QCOMPARE(m_server.parsed(before).value("subject").toString(), QStringLiteral("first"));
}

void MailDeliveryTest::proxyFromTheEnvironmentIsIgnored()
{
    // The program takes its settings from its settings file only.
    const QByteArray proxy = QByteArrayLiteral("socks5://127.0.0.1:") + QByteArray::number(freeTcpPort());
    qputenv("ALL_PROXY", proxy);
    qputenv("all_proxy", proxy);
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_server.host());
    SendRecorder recorder(component);
    const bool finished = recorder.sendAndWait();
    qunsetenv("ALL_PROXY");
    qunsetenv("all_proxy");
    QVERIFY(finished);
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
}

namespace {

// The client port of the connection that carried each message, in order.
QStringList peersOf(CaptureServer &server)
{
    QStringList ports;
    for (const QString &line : server.outputLines(QStringLiteral("PEER ")))
        ports.append(line.section(QLatin1Char(' '), 1, 1));
    return ports;
}

} // namespace

void MailDeliveryTest::connectionIsKeptForTheSameServer()
{
    CaptureServer server;
    QVERIFY(server.start({QStringLiteral("--log-sessions")}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    SendRecorder recorder(component);
    for (int i = 0; i < 3; ++i) {
        component.setSubject(QStringLiteral("message %1").arg(i));
        component.setRecipients(i == 1 ? QStringLiteral("other@example.com") : QStringLiteral("ops@example.com"));
        QVERIFY(recorder.sendAndWait());
        QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
        if (i > 0)
            QCOMPARE(recorder.last().status.first(), QStringLiteral("Using the open connection to %1").arg(server.host()));
    }
    QVERIFY(server.waitForMessages(3));
    QTRY_COMPARE_WITH_TIMEOUT(peersOf(server).size(), 3, 5000);
    QStringList peers = peersOf(server);
    QCOMPARE(peers[1], peers[0]);
    QCOMPARE(peers[2], peers[0]);
    QCOMPARE(server.parsed(1).value("envelope_to").toArray(), QJsonArray({QStringLiteral("other@example.com")}));

    // Another server setting means another connection.
    component.setSmtpHost(QStringLiteral("localhost:%1").arg(server.port()));
    QVERIFY(recorder.sendAndWait());
    QVERIFY(recorder.last().ok());
    QTRY_COMPARE_WITH_TIMEOUT(peersOf(server).size(), 4, 5000);
    QVERIFY(peersOf(server)[3] != peers[0]);
}

void MailDeliveryTest::sessionPerMessageWhenReuseIsOff()
{
    CaptureServer server;
    QVERIFY(server.start({QStringLiteral("--log-sessions")}));
    MailOptions options;
    options.reuseConnection = false;
    MailComponent component(quickTimeouts(), options);
    fillPlainMessage(component, server.host());
    SendRecorder recorder(component);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(recorder.sendAndWait());
        QVERIFY(recorder.last().ok());
        QCOMPARE(recorder.last().status.first(), QStringLiteral("Connecting to %1").arg(server.host()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(peersOf(server).size(), 2, 5000);
    const QStringList peers = peersOf(server);
    QVERIFY(peers[0] != peers[1]);
    // Each session was ended, not left open.
    QTRY_VERIFY_WITH_TIMEOUT(server.outputLines(QStringLiteral("CLOSE ") + peers[1]).size() == 1, 5000);
    QCOMPARE(server.outputLines(QStringLiteral("CLOSE ") + peers[0]).size(), 1);
}

void MailDeliveryTest::serverClosedTheKeptConnection()
{
    CaptureServer server;
    QVERIFY(server.start({QStringLiteral("--log-sessions"), QStringLiteral("--idle-timeout"), QStringLiteral("0.5")}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QVERIFY(recorder.last().ok());
    QTRY_COMPARE_WITH_TIMEOUT(peersOf(server).size(), 1, 5000);
    const QString first = peersOf(server).first();
    QTRY_VERIFY_WITH_TIMEOUT(!server.outputLines(QStringLiteral("CLOSE ") + first).isEmpty(), 5000);

    QVERIFY(recorder.sendAndWait());
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    QVERIFY(server.waitForMessages(2));
    QTRY_COMPARE_WITH_TIMEOUT(peersOf(server).size(), 2, 5000);
    QVERIFY(peersOf(server)[1] != first);
}

void MailDeliveryTest::serverHungUpJustAsTheConnectionWasReused()
{
    CaptureServer server;
    QVERIFY(server.start({QStringLiteral("--log-sessions"), QStringLiteral("--hangup-on-reuse")}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QVERIFY(recorder.last().ok());
    component.setSubject(QStringLiteral("second"));
    QVERIFY(recorder.sendAndWait());
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    QVERIFY(recorder.last().statusText().contains(QStringLiteral("connecting again")));
    const QList<int> progress = recorder.last().progress;
    for (int i = 1; i < progress.size(); ++i)
        QVERIFY2(progress[i] > progress[i - 1], "progress repeated across the retry");
    QCOMPARE(progress.last(), 100);
    // Each message arrived exactly once.
    QVERIFY(server.waitForMessages(2));
    QTest::qWait(200);
    QCOMPARE(server.messageFiles().size(), 2);
    QCOMPARE(server.parsed(1).value("subject").toString(), QStringLiteral("second"));
}


namespace {

// Tokens answered on the next turn of the event loop, except that after a
// refused one the new token waits until release().
class HeldTokens : public TokenProvider {
public:
    quint64 requestToken(const QByteArray &) override
    {
        const quint64 request = ++m_last;
        if (m_holding)
            m_held.push_back(request);
        else
            answer(request);
        return request;
    }
    void invalidate(const QByteArray &) override { m_holding = true; }
    void cancelRequests() override {}
    bool waiting() const { return !m_held.empty(); }
    void release()
    {
        m_holding = false;
        for (const quint64 request : std::exchange(m_held, {}))
            answer(request);
    }

private:
    void answer(quint64 request)
    {
        QMetaObject::invokeMethod(
            this, [this, request] { emit tokenReady(request, {"token-" + QByteArray::number(request), "test", false}); },
            Qt::QueuedConnection);
    }
    quint64 m_last = 0;
    bool m_holding = false;
    std::vector<quint64> m_held;
};

} // namespace

// The running message's token was refused; while it waits for a new one, the
// messages lined up behind it are taken back by id, and it goes on alone.
void MailDeliveryTest::takeBackWhileAMessageWaitsForANewToken()
{
    const QJsonArray ehlo{"AUTH XOAUTH2"};
    SmtpScriptServer server;
    QVERIFY(server.start({QJsonObject{{"ehlo", ehlo}, {"replies", QJsonObject{{"AUTH", "535 5.7.3 refused"}}}},
                          QJsonObject{{"ehlo", ehlo}}}));
    HeldTokens tokens;
    MailOptions options;
    options.tokens = &tokens;
    MailComponent component(quickTimeouts(), options);
    fillPlainMessage(component, QStringLiteral("127.0.0.1:%1").arg(server.port()));
    component.setServerLogin(true);
    component.setUserName(QStringLiteral("plant@example.com"));
    component.setSignIn("plant");
    QList<std::pair<quint64, bool>> finished;
    connect(&component, &MailComponent::finished, this,
            [&](quint64 id, const MailOutcome &outcome) { finished.append({id, outcome.accepted()}); });

    QVERIFY(component.submit(1, component.properties()));
    QTRY_VERIFY_WITH_TIMEOUT(tokens.waiting(), 10000);
    for (quint64 id : {2, 3, 4})
        QVERIFY(component.submit(id, component.properties()));
    std::vector<quint64> taken = component.withdraw(1);
    std::sort(taken.begin(), taken.end());
    QCOMPARE(taken, (std::vector<quint64>{2, 3, 4}));

    tokens.release();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
    QCOMPARE(finished.first(), (std::pair<quint64, bool>{1, true}));
    QVERIFY(!component.isSending());
    QCOMPARE(server.lines("RECV MAIL").size(), 1);
}

QTEST_GUILESS_MAIN(MailDeliveryTest)
#include "tst_mail_delivery.moc"
