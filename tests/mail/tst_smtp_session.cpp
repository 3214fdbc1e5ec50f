// SmtpSession against a scripted server (tests/support/smtp_script.py) that
// does what real servers will not on demand: holds its replies until it has
// seen a whole pipelined group, splits and bunches replies, injects text
// around STARTTLS, refuses at any step and drops the connection mid-message.
#include "mail/MailHarness.h"
#include "mail/SmtpSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

const QString User = QStringLiteral("plant@example.com");
const QString Password = QStringLiteral("Pump-3-S3cret");
const QByteArray Token = "ya29.a0-token";

// Every outcome and status line, checked for order as it arrives.
class Recorder : public SmtpSessionListener {
public:
    QList<quint64> finished;
    QMap<quint64, MailOutcome> outcomes;
    QStringList status;
    bool outOfOrder = false;

    void sessionStatus(quint64, const QString &line) override { status.append(line); }
    void sessionProgress(quint64, int) override {}
    void sessionFinished(quint64 id, const MailOutcome &outcome) override
    {
        outOfOrder = outOfOrder || (!finished.isEmpty() && id <= finished.last()) || outcomes.contains(id);
        finished.append(id);
        outcomes.insert(id, outcome);
    }
    bool statusContains(const QString &text) const
    {
        return std::any_of(status.begin(), status.end(), [&](const QString &l) { return l.contains(text); });
    }
};


MailTimeouts testTimeouts()
{
    MailTimeouts t;
    t.connect = 5s;
    t.serverReply = 5s; // a client that waits inside a held group fails here
    t.wholeAttempt = 30s;
    t.idleConnectionAge = 200ms;
    return t;
}

SmtpAccount account(quint16 port, bool login = false, const QByteArray &token = {})
{
    SmtpAccount a;
    a.endpoint = ServerEndpoint::parse(QStringLiteral("127.0.0.1:%1").arg(port), MailProtocol::Smtp);
    a.heloName = QStringLiteral("client.test");
    a.login = login;
    a.userName = User;
    a.password = Password;
    a.bearerToken = token;
    return a;
}

SmtpMessage message(quint64 id, const QByteArray &subject = "first", int recipients = 1, qsizetype padTo = 0)
{
    SmtpMessage m;
    m.id = id;
    m.sender = QStringLiteral("plant@example.com");
    for (int i = 0; i < recipients; ++i)
        m.recipients.append(QStringLiteral("ops%1@example.com").arg(i + 1));
    m.data = "Subject: " + subject + "\r\n\r\nPump 3 stopped.\r\n.hidden line\r\n";
    if (m.data.size() < padTo)
        m.data += QByteArray(padTo - m.data.size() - 2, 'x') + "\r\n";
    return m;
}

QJsonObject connection(const QStringList &ehlo, const QJsonObject &replies = {}, const QJsonArray &hold = {})
{
    return {{QStringLiteral("ehlo"), QJsonArray::fromStringList(ehlo)},
            {QStringLiteral("replies"), replies},
            {QStringLiteral("hold"), hold}};
}

QJsonObject split(const QStringList &parts)
{
    return {{QStringLiteral("parts"), QJsonArray::fromStringList(parts)}, {QStringLiteral("pause"), 0.1}};
}

// Submits the messages and waits until each has finished.
bool runAll(SmtpSession &session, Recorder &recorder, const SmtpAccount &a, const QList<SmtpMessage> &messages)
{
    for (const SmtpMessage &m : messages)
        session.submit(a, m);
    const bool done = QTest::qWaitFor([&] { return recorder.finished.size() >= messages.size(); }, 20000);
    return done && recorder.finished.size() == messages.size() && !recorder.outOfOrder;
}

} // namespace

class SmtpSessionTest : public QObject {
    Q_OBJECT

private slots:
    void pipelinedGroups_data();
    void pipelinedGroups();
    void replyShapes_data();
    void replyShapes();
    void textInjectedAfterStartTlsIsNeverRead();
    void refusedRecipients_data();
    void refusedRecipients();
    void refusalPhases_data();
    void refusalPhases();
    void dropAfterFinalDataRepeatsOnlyTheMessageBehind_data();
    void dropAfterFinalDataRepeatsOnlyTheMessageBehind();
    void sizeLimit_data();
    void sizeLimit();
    void bearerToken_data();
    void bearerToken();
    void loginExchangeStaysOutOfStatusLines_data();
    void loginExchangeStaysOutOfStatusLines();
};

void SmtpSessionTest::pipelinedGroups_data()
{
    QTest::addColumn<QStringList>("ehlo");
    QTest::addColumn<int>("messages");
    QTest::addColumn<QString>("hold");       // command numbers, EHLO being 1
    QTest::addColumn<QStringList>("verbs");  // what the server read, in order
    QTest::addColumn<QString>("hiddenLine"); // the body's ".hidden line" as it travelled
    QTest::newRow("MAIL, RCPTs and DATA in one go") << QStringList{"PIPELINING"} << 1 << "[[2,5]]"
        << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "DATA", ".", "QUIT"} << "..hidden line";
    QTest::newRow("next envelope rides with the body") << QStringList{"PIPELINING"} << 2 << "[[2,5],[6,10]]"
        << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "DATA", ".", "MAIL", "RCPT", "RCPT", "DATA", ".", "QUIT"}
        << "..hidden line";
    QTest::newRow("BDAT LAST with the envelope") << QStringList{"PIPELINING", "CHUNKING"} << 2 << "[[2,5],[6,9]]"
        << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "BDAT", "MAIL", "RCPT", "RCPT", "BDAT", "QUIT"}
        << ".hidden line";
}

void SmtpSessionTest::pipelinedGroups()
{
    QFETCH(QStringList, ehlo);
    QFETCH(int, messages);
    QFETCH(QString, hold);
    QFETCH(QStringList, verbs);
    QFETCH(QString, hiddenLine);
    SmtpScriptServer server;
    QVERIFY(server.start({connection(ehlo, {}, QJsonDocument::fromJson(hold.toUtf8()).array())}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), true, recorder);
    QList<SmtpMessage> list;
    for (int i = 1; i <= messages; ++i)
        list.append(message(i, "message " + QByteArray::number(i), 2));
    QVERIFY(runAll(session, recorder, account(server.port()), list));
    for (int i = 1; i <= messages; ++i)
        QVERIFY2(recorder.outcomes[i].accepted(), qPrintable(recorder.outcomes[i].explanation));
    QVERIFY(server.waitFor(QStringLiteral("RECV "), QStringLiteral("QUIT")));
    QCOMPARE(server.verbs(), verbs);
    QCOMPARE(server.lines(QStringLiteral("MESSAGE ")).size(), messages);
    QVERIFY(server.lines(QStringLiteral("BODY ")).contains(hiddenLine));
    if (ehlo.contains(QStringLiteral("CHUNKING")))
        QVERIFY(server.received().contains(QStringLiteral("BDAT %1 LAST").arg(list.first().data.size())));
}

void SmtpSessionTest::replyShapes_data()
{
    QTest::addColumn<QJsonObject>("script");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("reply"); // in the outcome
    const QStringList pipelining{"PIPELINING"};
    QTest::newRow("EHLO split inside a keyword") << QJsonObject{{"ehlo", QJsonArray{}}, {"replies", QJsonObject{
        {"EHLO", split({"250-script.test\r\n250-PIPE", "LINING\r\n250 SIZE 100", "00\r\n"})}}}} << true
        << "2.0.0 queued";
    QTest::newRow("final reply split inside its code") << connection(pipelining, {{".", split({"2", "50 2.0.0 qu",
        "eued as 7\r\n"})}}) << true << "2.0.0 queued as 7";
    QTest::newRow("multi-line final reply") << connection(pipelining, {{".", "250-2.0.0 first\n250 2.0.0 second"}})
        << true << "2.0.0 first 2.0.0 second";
    QTest::newRow("multi-line replies split between lines") << connection({}, {{"MAIL", split({"250-one\r\n",
        "250-two\r\n", "250 three\r\n"})}}) << true << "2.0.0 queued";
    QTest::newRow("end-of-data reply ahead of the body") << connection({}, {{"DATA",
        "354 go ahead\n250 2.0.0 queued"}}) << false << "";
    QTest::newRow("pipelined: end-of-data reply ahead") << connection(pipelining, {{"DATA",
        "354 go ahead\n250 2.0.0 queued"}}) << false << "";
    QTest::newRow("MAIL reply ahead of MAIL") << connection({}, {{"EHLO", "250 script.test\n250 2.1.0 ok"}})
        << false << "";
}

void SmtpSessionTest::replyShapes()
{
    QFETCH(QJsonObject, script);
    QFETCH(bool, accepted);
    QFETCH(QString, reply);
    SmtpScriptServer server;
    QVERIFY(server.start({script}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), false, recorder);
    QVERIFY(runAll(session, recorder, account(server.port()), {message(1)}));
    const MailOutcome outcome = recorder.outcomes[1];
    QCOMPARE(outcome.accepted(), accepted);
    if (accepted) {
        QCOMPARE(outcome.reply, reply);
        return;
    }
    // A server that answers what was not asked yet cannot be trusted with the
    // body: the outcome says nothing was taken, and no body went out.
    QVERIFY(!outcome.mayHaveBeenAccepted());
    QVERIFY2(outcome.explanation.contains(QStringLiteral("broke the protocol")), qPrintable(outcome.explanation));
    QVERIFY(server.waitFor(QStringLiteral("CLOSED "), QStringLiteral("1")));
    QVERIFY(!server.received().contains(QStringLiteral(".")));
}

void SmtpSessionTest::textInjectedAfterStartTlsIsNeverRead()
{
    QTemporaryDir dir;
    TestCertificates certs;
    QVERIFY(certs.make(dir.path()));
    QJsonObject script = connection({"STARTTLS", "AUTH PLAIN LOGIN"});
    // As an answer to EHLO it would offer a login the real server does not.
    script.insert(QStringLiteral("inject"), QStringLiteral("250-evil.test\n250-AUTH PLAIN\n250 SIZE 1"));
    script.insert(QStringLiteral("ehlo_tls"), QJsonArray{"PIPELINING", "SIZE 50000"});
    SmtpScriptServer server;
    QVERIFY(server.start({script}, &certs));
    Recorder recorder;
    SmtpSession session(testTimeouts(), true, recorder);
    QVERIFY(runAll(session, recorder, account(server.port(), true), {message(1)}));
    QVERIFY2(recorder.outcomes[1].accepted(), qPrintable(recorder.outcomes[1].explanation));
    QVERIFY(recorder.statusContains(QStringLiteral("Connection encrypted with STARTTLS")));
    QCOMPARE(session.capabilities().sizeLimit, qint64(50000));
    QVERIFY(session.capabilities().auth.isEmpty());
    QVERIFY(recorder.statusContains(QStringLiteral("offers no login")));
    QCOMPARE(server.verbs().mid(0, 4), (QStringList{"EHLO", "STARTTLS", "EHLO", "MAIL"}));
}

void SmtpSessionTest::refusedRecipients_data()
{
    QTest::addColumn<QStringList>("ehlo");
    QTest::addColumn<QStringList>("rcptReplies");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QStringList>("refused");
    for (const QStringList &ehlo : {QStringList{}, QStringList{"PIPELINING"}}) {
        const QByteArray how = ehlo.isEmpty() ? "one at a time: " : "pipelined: ";
        QTest::newRow(how + "one refused with 4xx") << ehlo
            << QStringList{"250 2.1.5 ok", "450 4.2.1 mailbox busy", "250 2.1.5 ok"} << true
            << QStringList{"ops2@example.com"};
        QTest::newRow(how + "all refused") << ehlo << QStringList{"550 5.1.1 no such user"} << false
            << QStringList{"ops1@example.com", "ops2@example.com", "ops3@example.com"};
    }
}

void SmtpSessionTest::refusedRecipients()
{
    QFETCH(QStringList, ehlo);
    QFETCH(QStringList, rcptReplies);
    QFETCH(bool, accepted);
    QFETCH(QStringList, refused);
    SmtpScriptServer server;
    QVERIFY(server.start({connection(ehlo << "ENHANCEDSTATUSCODES",
                                     {{"RCPT", QJsonArray::fromStringList(rcptReplies)}})}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), true, recorder);
    QVERIFY(runAll(session, recorder, account(server.port()), {message(1, "first", 3)}));
    const MailOutcome outcome = recorder.outcomes[1];
    QCOMPARE(outcome.refusedRecipients, refused);
    QCOMPARE(outcome.acceptedRecipients, 3 - int(refused.size()));
    if (accepted) {
        QVERIFY(outcome.accepted());
        QVERIFY(recorder.status.contains(
            QStringLiteral("Recipient refused by the server: ops2@example.com (450 4.2.1 mailbox busy)")));
        QCOMPARE(server.lines(QStringLiteral("MESSAGE ")).size(), 1);
    } else {
        QCOMPARE(outcome.kind, MailOutcome::Kind::Refused);
        QCOMPARE(outcome.phase, MailPhase::Rcpt);
        QCOMPARE(outcome.code, 550);
        QCOMPARE(outcome.enhancedCode, QStringLiteral("5.1.1"));
        QVERIFY(server.waitFor(QStringLiteral("CLOSED "), QStringLiteral("1")));
        QVERIFY(!server.received().contains(QStringLiteral(".")));
    }
}

void SmtpSessionTest::refusalPhases_data()
{
    QTest::addColumn<QStringList>("ehlo");
    QTest::addColumn<QString>("verb");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<MailPhase>("phase");
    for (const QStringList &ehlo : {QStringList{"ENHANCEDSTATUSCODES"},
                                    QStringList{"ENHANCEDSTATUSCODES", "PIPELINING"}}) {
        const QByteArray how = ehlo.size() == 1 ? "" : "pipelined ";
        QTest::newRow(how + "MAIL 451") << ehlo << "MAIL" << "451 4.3.0 try later" << MailPhase::Mail;
        QTest::newRow(how + "MAIL 553") << ehlo << "MAIL" << "553 5.7.1 sender not allowed" << MailPhase::Mail;
        QTest::newRow(how + "DATA 451") << ehlo << "DATA" << "451 4.3.2 not now" << MailPhase::Data;
        QTest::newRow(how + "DATA 554") << ehlo << "DATA" << "554 5.5.1 no valid recipients" << MailPhase::Data;
        QTest::newRow(how + "end of data 452") << ehlo << "." << "452 4.3.1 disk full" << MailPhase::EndOfData;
        QTest::newRow(how + "end of data 550") << ehlo << "." << "550 5.7.1 spam" << MailPhase::EndOfData;
    }
}

void SmtpSessionTest::refusalPhases()
{
    QFETCH(QStringList, ehlo);
    QFETCH(QString, verb);
    QFETCH(QString, reply);
    QFETCH(MailPhase, phase);
    SmtpScriptServer server;
    QVERIFY(server.start({connection(ehlo, {{verb, reply}})}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), true, recorder);
    QVERIFY(runAll(session, recorder, account(server.port()), {message(1)}));
    const MailOutcome outcome = recorder.outcomes[1];
    QCOMPARE(outcome.kind, MailOutcome::Kind::Refused);
    QCOMPARE(outcome.phase, phase);
    QCOMPARE(outcome.code, reply.left(3).toInt());
    QCOMPARE(outcome.enhancedCode, reply.section(QLatin1Char(' '), 1, 1));
    QCOMPARE(outcome.transientReply(), reply.startsWith(QLatin1Char('4')));
    QVERIFY(!outcome.mayHaveBeenAccepted());
    QVERIFY2(outcome.explanation.contains(reply), qPrintable(outcome.explanation));
}

void SmtpSessionTest::dropAfterFinalDataRepeatsOnlyTheMessageBehind_data()
{
    QTest::addColumn<QStringList>("ehlo");
    QTest::addColumn<QString>("finalVerb");
    QTest::newRow("after the final dot") << QStringList{"PIPELINING"} << ".";
    QTest::newRow("after BDAT LAST") << QStringList{"PIPELINING", "CHUNKING"} << "BDAT";
}

void SmtpSessionTest::dropAfterFinalDataRepeatsOnlyTheMessageBehind()
{
    QFETCH(QStringList, ehlo);
    QFETCH(QString, finalVerb);
    SmtpScriptServer server;
    QVERIFY(server.start({connection(ehlo, {{finalVerb, QJsonArray{QJsonValue::Null}}}), connection(ehlo)}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), true, recorder);
    QVERIFY(runAll(session, recorder, account(server.port()), {message(1, "first"), message(2, "second")}));
    QCOMPARE(recorder.outcomes[1].kind, MailOutcome::Kind::NoFinalReply);
    QVERIFY(recorder.outcomes[1].mayHaveBeenAccepted());
    QVERIFY2(recorder.outcomes[2].accepted(), qPrintable(recorder.outcomes[2].explanation));
    QCOMPARE(server.lines(QStringLiteral("MESSAGE ")), QStringList{QStringLiteral("Subject: second")});
    QCOMPARE(server.lines(QStringLiteral("CONNECT ")), (QStringList{"1", "2"}));
    // The first message never goes out again: only its one try reached the server.
    QCOMPARE(server.lines(QStringLiteral("BODY Subject: first")).size(), 1);
}

void SmtpSessionTest::sizeLimit_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("sent");
    QTest::newRow("over the limit") << "SIZE 300" << false;
    QTest::newRow("within the limit") << "SIZE 1000" << true;
}

void SmtpSessionTest::sizeLimit()
{
    QFETCH(QString, size);
    QFETCH(bool, sent);
    SmtpScriptServer server;
    QVERIFY(server.start({connection({"PIPELINING", size})}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), true, recorder);
    QVERIFY(runAll(session, recorder, account(server.port()), {message(1, "first", 1, 500)}));
    QVERIFY(server.waitFor(QStringLiteral("RECV "), QStringLiteral("QUIT")));
    QCOMPARE(recorder.outcomes[1].accepted(), sent);
    if (sent) {
        QVERIFY(server.received().contains(QStringLiteral("MAIL FROM:<plant@example.com> SIZE=500")));
        return;
    }
    QCOMPARE(recorder.outcomes[1].kind, MailOutcome::Kind::NotSent);
    QCOMPARE(server.verbs(), (QStringList{"EHLO", "QUIT"}));
}

void SmtpSessionTest::bearerToken_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QJsonObject>("replies");
    QTest::addColumn<QStringList>("authLines"); // what the server read from AUTH on
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("explanation");
    const QByteArray xoauth = ("user=" + User.toUtf8() + "\x01" "auth=Bearer " + Token + "\x01\x01").toBase64();
    const QByteArray bearer = ("n,a=" + User.toUtf8() + ",\x01" "auth=Bearer " + Token + "\x01\x01").toBase64();
    const QString errorChallenge = QStringLiteral("334 ")
        + QString::fromLatin1(QByteArray(R"({"status":"401","schemes":"bearer"})").toBase64());
    const QJsonObject refused{{"AUTH", errorChallenge}, {"*", "535 5.7.8 token expired"}};
    QTest::newRow("XOAUTH2") << "AUTH XOAUTH2" << QJsonObject{}
        << QStringList{"AUTH XOAUTH2 " + xoauth, "MAIL"} << true << "";
    QTest::newRow("OAUTHBEARER") << "AUTH OAUTHBEARER PLAIN" << QJsonObject{}
        << QStringList{"AUTH OAUTHBEARER " + bearer, "MAIL"} << true << "";
    QTest::newRow("password mechanisms only") << "AUTH PLAIN LOGIN CRAM-MD5" << QJsonObject{} << QStringList{}
        << false << "offers no OAuth sign-in (XOAUTH2 or OAUTHBEARER), only: PLAIN LOGIN CRAM-MD5";
    QTest::newRow("offer with a terminal escape") << "AUTH PLAIN \x1b[2J" << QJsonObject{} << QStringList{}
        << false << "only: PLAIN [2J"; // what the server offers is its text: cleaned like a reply
    QTest::newRow("XOAUTH2 error challenge") << "AUTH XOAUTH2" << refused
        << QStringList{"AUTH XOAUTH2 " + xoauth, ""} << false << "Login denied by the server (535 5.7.8 token expired)";
    QTest::newRow("OAUTHBEARER error challenge") << "AUTH OAUTHBEARER" << refused
        << QStringList{"AUTH OAUTHBEARER " + bearer, "AQ=="} << false
        << "Login denied by the server (535 5.7.8 token expired)";
}

void SmtpSessionTest::bearerToken()
{
    QFETCH(QString, offered);
    QFETCH(QJsonObject, replies);
    QFETCH(QStringList, authLines);
    QFETCH(bool, accepted);
    QFETCH(QString, explanation);
    SmtpScriptServer server;
    QVERIFY(server.start({connection({offered}, replies)}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), false, recorder);
    QVERIFY(runAll(session, recorder, account(server.port(), true, Token), {message(1)}));
    const MailOutcome outcome = recorder.outcomes[1];
    QCOMPARE(outcome.accepted(), accepted);
    QVERIFY2(outcome.explanation.contains(explanation), qPrintable(outcome.explanation));
    if (!accepted)
        QCOMPARE(outcome.phase, MailPhase::Auth);
    QStringList fromAuth = server.received().mid(1, authLines.size());
    if (accepted)
        fromAuth.last() = fromAuth.last().section(QLatin1Char(' '), 0, 0);
    QCOMPARE(fromAuth, authLines);
    for (const QString &line : server.received())
        QVERIFY2(!line.contains(QLatin1String(Password.toUtf8().toBase64())), qPrintable(line));
}

void SmtpSessionTest::loginExchangeStaysOutOfStatusLines_data()
{
    QTest::addColumn<QString>("finalReply");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("accepted") << "235 2.7.0 ok" << true;
    QTest::newRow("denied") << "535 5.7.8 bad credentials" << false;
    QTest::newRow("denied, echoing what it got") << "535 5.7.8 {line} is wrong" << false;
    QTest::newRow("echoing it in a line that is not SMTP") << "5.7.8 {line} is wrong" << false;
}

void SmtpSessionTest::loginExchangeStaysOutOfStatusLines()
{
    QFETCH(QString, finalReply);
    QFETCH(bool, accepted);
    const QString userPrompt = QStringLiteral("VXNlcm5hbWU6"), passwordPrompt = QStringLiteral("UGFzc3dvcmQ6");
    SmtpScriptServer server;
    QVERIFY(server.start({connection({"AUTH LOGIN"}, {{"AUTH", "334 " + userPrompt},
                                                      {"*", QJsonArray{"334 " + passwordPrompt, finalReply}}})}));
    Recorder recorder;
    SmtpSession session(testTimeouts(), false, recorder);
    QVERIFY(runAll(session, recorder, account(server.port(), true), {message(1)}));
    QCOMPARE(recorder.outcomes[1].accepted(), accepted);
    const QString user64 = QString::fromLatin1(User.toUtf8().toBase64());
    const QString password64 = QString::fromLatin1(Password.toUtf8().toBase64());
    QCOMPARE(server.received().mid(1, 3), (QStringList{"AUTH LOGIN", user64, password64}));
    const QStringList secrets{user64, password64, Password, userPrompt, passwordPrompt};
    for (const QString &line : recorder.status + QStringList{recorder.outcomes[1].explanation}) {
        for (const QString &secret : secrets)
            QVERIFY2(!line.contains(secret), qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(SmtpSessionTest)
#include "tst_smtp_session.moc"
