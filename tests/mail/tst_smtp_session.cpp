// SmtpSession against a scripted server (tests/support/smtp_script.py) that
// does what real servers will not on demand: holds its replies until it has
// seen a whole pipelined group, splits and bunches replies, injects text
// around STARTTLS, refuses at any step and drops the connection mid-message.
#include "mail/MailHarness.h"
#include "mail/SmtpSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QTest>

#include <optional>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

const QString User = QStringLiteral("plant@example.com");
const QString Password = QStringLiteral("Pump-3-S3cret");
const QByteArray Token = "ya29.a0-token";

MailTimeouts testTimeouts()
{
    MailTimeouts t = shortTimeouts(5s, 30s); // a client that waits inside a held group fails on a reply
    t.idleConnectionAge = 200ms;
    return t;
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

// A scripted server and a session sending to it.
struct Run : SessionRecorder {
    SmtpScriptServer server;
    std::optional<SmtpSession> session;

    // Submits the messages and waits until each has finished, in order.
    bool send(bool reuse, const QList<SmtpMessage> &messages = {smallMessage(1)}, bool login = false,
              const QByteArray &token = {})
    {
        SmtpAccount a = loopbackAccount(server.port());
        a.login = login;
        a.userName = User;
        a.password = Password;
        a.bearerToken = token;
        if (!session)
            session.emplace(testTimeouts(), reuse, *this);
        for (const SmtpMessage &m : messages)
            session->submit(a, m);
        return waitFinished(int(finished.size() + messages.size()));
    }
};

} // namespace

class SmtpSessionTest : public QObject {
    Q_OBJECT

private slots:
    void pipelinedGroups_data()
    {
        QTest::addColumn<QStringList>("ehlo");
        QTest::addColumn<int>("messages");
        QTest::addColumn<QString>("hold");       // command numbers, EHLO being 1
        QTest::addColumn<QStringList>("verbs");  // what the server read, in order
        QTest::addColumn<QString>("hiddenLine"); // the body's ".hidden line" as it travelled; none: probes
        QTest::newRow("MAIL, RCPTs and DATA in one go") << QStringList{"PIPELINING"} << 1 << "[[2,5]]"
            << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "DATA", ".", "QUIT"} << "..hidden line";
        QTest::newRow("next envelope rides with the body") << QStringList{"PIPELINING"} << 2 << "[[2,5],[6,10]]"
            << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "DATA", ".", "MAIL", "RCPT", "RCPT", "DATA", ".", "QUIT"}
            << "..hidden line";
        QTest::newRow("BDAT LAST with the envelope") << QStringList{"PIPELINING", "CHUNKING"} << 2 << "[[2,5],[6,9]]"
            << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "BDAT", "MAIL", "RCPT", "RCPT", "BDAT", "QUIT"}
            << ".hidden line";
        // The account check's probe: its recipients answered, then RSET, never DATA.
        QTest::newRow("probe: MAIL, RCPTs and RSET in one go") << QStringList{"PIPELINING"} << 1 << "[[2,5]]"
            << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "RSET", "QUIT"} << "";
        QTest::newRow("probe, one command at a time") << QStringList{} << 1 << "[]"
            << QStringList{"EHLO", "MAIL", "RCPT", "RCPT", "RSET", "QUIT"} << "";
    }

    void pipelinedGroups()
    {
        QFETCH(QStringList, ehlo);
        QFETCH(int, messages);
        QFETCH(QString, hold);
        QFETCH(QStringList, verbs);
        QFETCH(QString, hiddenLine);
        Run run;
        QVERIFY(run.server.start({connection(ehlo, {}, QJsonDocument::fromJson(hold.toUtf8()).array())}));
        const bool probe = hiddenLine.isEmpty();
        QList<SmtpMessage> list;
        for (int i = 1; i <= messages; ++i) {
            list.append(smallMessage(i, "message " + QByteArray::number(i), 2));
            if (probe) {
                list.last().probeOnly = true;
                list.last().data.clear();
            }
        }
        QVERIFY(run.send(true, list));
        for (int i = 1; i <= messages; ++i)
            QVERIFY2(run.outcome(i).accepted(), qPrintable(run.outcome(i).explanation));
        QVERIFY(run.server.waitFor(QStringLiteral("RECV "), QStringLiteral("QUIT")));
        QCOMPARE(run.server.verbs(), verbs);
        QCOMPARE(run.server.lines(QStringLiteral("MESSAGE ")).size(), probe ? 0 : messages);
        QCOMPARE(run.server.lines(QStringLiteral("BODY ")).contains(hiddenLine), !probe);
        if (ehlo.contains(QStringLiteral("CHUNKING")))
            QVERIFY(run.server.received().contains(QStringLiteral("BDAT %1 LAST").arg(list.first().data.size())));
    }

    void replyShapes_data()
    {
        QTest::addColumn<QJsonObject>("script");
        QTest::addColumn<QString>("reply"); // in the outcome; empty: a protocol break
        const QStringList pipelining{"PIPELINING"};
        const QString early = QStringLiteral("354 go ahead\n250 2.0.0 queued");
        QTest::newRow("EHLO split inside a keyword") << QJsonObject{{"ehlo", QJsonArray{}}, {"replies", QJsonObject{
            {"EHLO", split({"250-script.test\r\n250-PIPE", "LINING\r\n250 SIZE 100", "00\r\n"})}}}} << "2.0.0 queued";
        QTest::newRow("final reply split inside its code")
            << connection(pipelining, {{".", split({"2", "50 2.0.0 qu", "eued as 7\r\n"})}}) << "2.0.0 queued as 7";
        QTest::newRow("multi-line final reply") << connection(pipelining, {{".", "250-2.0.0 first\n250 2.0.0 second"}})
            << "2.0.0 first 2.0.0 second";
        QTest::newRow("multi-line replies split between lines")
            << connection({}, {{"MAIL", split({"250-one\r\n", "250-two\r\n", "250 three\r\n"})}}) << "2.0.0 queued";
        QTest::newRow("end-of-data reply ahead of the body") << connection({}, {{"DATA", early}}) << "";
        QTest::newRow("pipelined: end-of-data reply ahead") << connection(pipelining, {{"DATA", early}}) << "";
        QTest::newRow("MAIL reply ahead of MAIL") << connection({}, {{"EHLO", "250 script.test\n250 2.1.0 ok"}}) << "";
    }

    void replyShapes()
    {
        QFETCH(QJsonObject, script);
        QFETCH(QString, reply);
        Run run;
        QVERIFY(run.server.start({script}));
        QVERIFY(run.send(false));
        const MailOutcome outcome = run.outcome();
        QCOMPARE(outcome.accepted(), !reply.isEmpty());
        if (!reply.isEmpty()) {
            QCOMPARE(outcome.reply, reply);
            return;
        }
        // A server that answers what was not asked yet cannot be trusted with the
        // body: the outcome says nothing was taken, and no body went out.
        QVERIFY(!outcome.mayHaveBeenAccepted());
        QVERIFY2(outcome.explanation.contains(QStringLiteral("broke the protocol")), qPrintable(outcome.explanation));
        QVERIFY(run.server.waitFor(QStringLiteral("CLOSED "), QStringLiteral("1")));
        QVERIFY(!run.server.received().contains(QStringLiteral(".")));
        QVERIFY(!run.server.verbs().contains(QStringLiteral("QUIT"))); // out of step: dropped at once
    }

    void textInjectedAfterStartTlsIsNeverRead()
    {
        QTemporaryDir dir;
        TestCertificates certs;
        QVERIFY(certs.make(dir.path()));
        QJsonObject script = connection({"STARTTLS", "AUTH PLAIN LOGIN"});
        // As an answer to EHLO it would offer a login the real server does not.
        script.insert(QStringLiteral("inject"), QStringLiteral("250-evil.test\n250-AUTH PLAIN\n250 SIZE 1"));
        script.insert(QStringLiteral("ehlo_tls"), QJsonArray{"PIPELINING", "SIZE 50000"});
        Run run;
        QVERIFY(run.server.start({script}, &certs));
        QVERIFY(run.send(true, {smallMessage(1)}, true));
        QVERIFY2(run.outcome().accepted(), qPrintable(run.outcome().explanation));
        QVERIFY(run.statusContains(QStringLiteral("Connection encrypted with STARTTLS")));
        QCOMPARE(run.session->capabilities().sizeLimit, qint64(50000));
        QVERIFY(run.session->capabilities().auth.isEmpty());
        QVERIFY(run.statusContains(QStringLiteral("offers no login")));
        QCOMPARE(run.server.verbs().mid(0, 4), (QStringList{"EHLO", "STARTTLS", "EHLO", "MAIL"}));
    }

    void refusedRecipients_data()
    {
        QTest::addColumn<QStringList>("ehlo");
        QTest::addColumn<QStringList>("rcptReplies");
        QTest::addColumn<QStringList>("refused");
        for (const QStringList &ehlo : {QStringList{}, QStringList{"PIPELINING"}}) {
            const QByteArray how = ehlo.isEmpty() ? "one at a time: " : "pipelined: ";
            QTest::newRow(how + "one refused with 4xx") << ehlo
                << QStringList{"250 2.1.5 ok", "450 4.2.1 mailbox busy", "250 2.1.5 ok"}
                << QStringList{"ops2@example.com"};
            QTest::newRow(how + "all refused") << ehlo << QStringList{"550 5.1.1 no such user"}
                << QStringList{"ops1@example.com", "ops2@example.com", "ops3@example.com"};
        }
    }

    void refusedRecipients()
    {
        QFETCH(QStringList, ehlo);
        QFETCH(QStringList, rcptReplies);
        QFETCH(QStringList, refused);
        Run run;
        QVERIFY(run.server.start({connection(ehlo << "ENHANCEDSTATUSCODES",
                                             {{"RCPT", QJsonArray::fromStringList(rcptReplies)}})}));
        QVERIFY(run.send(true, {smallMessage(1, "first", 3)}));
        const MailOutcome outcome = run.outcome();
        QCOMPARE(outcome.refusedRecipients, refused);
        QCOMPARE(outcome.acceptedRecipients, 3 - int(refused.size()));
        if (refused.size() == 1) {
            QVERIFY(outcome.accepted());
            QVERIFY(run.status.contains(
                QStringLiteral("Recipient refused by the server: ops2@example.com (450 4.2.1 mailbox busy)")));
            QCOMPARE(run.server.lines(QStringLiteral("MESSAGE ")).size(), 1);
            return;
        }
        QCOMPARE(outcome.kind, MailOutcome::Kind::Refused);
        QCOMPARE(outcome.phase, MailPhase::Rcpt);
        QCOMPARE(outcome.code, 550);
        QCOMPARE(outcome.enhancedCode, QStringLiteral("5.1.1"));
        QVERIFY(run.server.waitFor(QStringLiteral("CLOSED "), QStringLiteral("1")));
        QVERIFY(!run.server.received().contains(QStringLiteral(".")));
    }

    // Each step's refusal, one at a time and pipelined: the phase and the codes
    // for the retry rule, the sentence for the operator, and a new connection
    // for the next message.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("ehlo");
        QTest::addColumn<QString>("verb"); // "greeting": the connection itself
        QTest::addColumn<QString>("reply");
        QTest::addColumn<MailPhase>("phase");
        QTest::addColumn<QString>("explanation");
        QTest::addColumn<QString>("statusLine"); // said before the explanation
        QTest::newRow("greeting 421") << QStringList{} << "greeting" << "421 4.3.2 too busy" << MailPhase::Connect
            << "The server refused the connection (421 4.3.2 too busy)" << "";
        for (const QStringList &ehlo : {QStringList{"ENHANCEDSTATUSCODES"},
                                        QStringList{"ENHANCEDSTATUSCODES", "PIPELINING"}}) {
            const QByteArray how = ehlo.size() == 1 ? "" : "pipelined ";
            QTest::newRow(how + "MAIL 451") << ehlo << "MAIL" << "451 4.3.0 try later" << MailPhase::Mail
                << "The server refused the sender address plant@example.com (451 4.3.0 try later)" << "";
            QTest::newRow(how + "MAIL 530") << ehlo << "MAIL" << "530 5.7.0 log in first" << MailPhase::Mail
                << "The server takes mail only after a login (530 5.7.0 log in first)" << "";
            QTest::newRow(how + "DATA 554") << ehlo << "DATA" << "554 5.5.1 no valid recipients" << MailPhase::Data
                << "The server refused the message (554 5.5.1 no valid recipients)" << "";
            QTest::newRow(how + "end of data 452") << ehlo << "." << "452 4.3.1 disk full" << MailPhase::EndOfData
                << "The server refused the message (452 4.3.1 disk full)" << "Server reply: 452 4.3.1 disk full";
            QTest::newRow(how + "end of data 550") << ehlo << "." << "550 5.7.1 spam" << MailPhase::EndOfData
                << "The server refused the message (550 5.7.1 spam)" << "Server reply: 550 5.7.1 spam";
        }
    }

    void refusals()
    {
        QFETCH(QStringList, ehlo);
        QFETCH(QString, verb);
        QFETCH(QString, reply);
        QFETCH(MailPhase, phase);
        QFETCH(QString, explanation);
        QFETCH(QString, statusLine);
        QJsonObject refusing = connection(ehlo, {{verb, reply}});
        if (verb == QLatin1String("greeting"))
            refusing = {{"greeting", reply}};
        Run run;
        QVERIFY(run.server.start({refusing, connection(ehlo)}));
        QVERIFY(run.send(true));
        const MailOutcome outcome = run.outcome();
        QCOMPARE(outcome.kind, MailOutcome::Kind::Refused);
        QCOMPARE(outcome.phase, phase);
        QCOMPARE(outcome.code, reply.left(3).toInt());
        QCOMPARE(outcome.enhancedCode, reply.section(QLatin1Char(' '), 1, 1));
        QCOMPARE(outcome.transientReply(), reply.startsWith(QLatin1Char('4')));
        QVERIFY(!outcome.mayHaveBeenAccepted());
        QCOMPARE(outcome.explanation, explanation);
        QCOMPARE(run.status.last(), explanation);
        if (!statusLine.isEmpty())
            QVERIFY2(run.status.contains(statusLine), qPrintable(run.status.join('\n')));

        // A refusal leaves nothing behind: the next message goes on a new connection.
        QVERIFY(run.send(true, {smallMessage(2, "second")}));
        QVERIFY2(run.outcome(2).accepted(), qPrintable(run.outcome(2).explanation));
        QCOMPARE(run.server.lines(QStringLiteral("CONNECT ")), (QStringList{"1", "2"}));
        QCOMPARE(run.server.lines(QStringLiteral("MESSAGE ")), QStringList{QStringLiteral("Subject: second")});
        // The refusing server was still in step: its connection ended with QUIT.
        QTRY_COMPARE(run.server.verbs().count(QStringLiteral("QUIT")), 1);
    }

    // A server's limit of messages a session (OpenSMTPD's 452 after 100): the
    // message refused goes first on a new connection, untried; only a fresh
    // connection's refusal is the message's own. Every connection ends with QUIT.
    void sessionLimit_data()
    {
        QTest::addColumn<QStringList>("ehlo");
        QTest::addColumn<int>("messages");
        QTest::addColumn<int>("refused"); // refused in the end, by a fresh connection; 0: none
        QTest::newRow("one at a time") << QStringList{} << 10 << 0;
        QTest::newRow("pipelined") << QStringList{"PIPELINING"} << 10 << 0;
        QTest::newRow("chunked") << QStringList{"PIPELINING", "CHUNKING"} << 10 << 0;
        QTest::newRow("a fresh connection refuses it too") << QStringList{"PIPELINING"} << 2 << 2;
    }

    void sessionLimit()
    {
        QFETCH(QStringList, ehlo);
        QFETCH(int, messages);
        QFETCH(int, refused);
        const QString full = QStringLiteral("452 4.5.3 Too many recipients: Too many messages sent");
        const QJsonArray afterThree{"250 2.1.0 ok", "250 2.1.0 ok", "250 2.1.0 ok", full};
        QJsonArray script{connection(ehlo, {{"MAIL", refused ? QJsonArray{"250 2.1.0 ok", full} : afterThree}})};
        if (refused)
            script.append(connection(ehlo, {{"MAIL", full}}));
        Run run;
        QVERIFY(run.server.start(script));
        QList<SmtpMessage> list;
        QStringList arrived;
        for (int i = 1; i <= messages; ++i) {
            list.append(smallMessage(i, "alarm " + QByteArray::number(i)));
            if (i != refused)
                arrived.append(QStringLiteral("Subject: alarm %1").arg(i));
        }
        QVERIFY(run.send(true, list));
        for (int i = 1; i <= messages; ++i)
            QCOMPARE(run.outcome(i).code, i == refused ? 452 : 250);
        QVERIFY(run.statusContains(QStringLiteral("takes no more messages on this connection (452 4.5.3")));
        QCOMPARE(run.server.lines(QStringLiteral("MESSAGE ")), arrived);
        const int connections = refused ? 2 : (messages + 2) / 3;
        QTRY_COMPARE(run.server.lines(QStringLiteral("CLOSED ")).size(), connections);
        QCOMPARE(run.server.verbs().count(QStringLiteral("QUIT")), connections);
    }

    // Refusals and closes end with QUIT and TLS's own close while the
    // connection is in step; a DATA waiting for its 354 cannot be.
    void endings_data()
    {
        QTest::addColumn<QStringList>("ehlo");
        QTest::addColumn<QJsonObject>("replies");
        QTest::addColumn<QString>("closeAt"); // "idle", or "MAIL" once the server read it; none: not closed
        QTest::addColumn<bool>("polite");
        const QJsonObject slowMail{{"MAIL", QJsonObject{{"parts", QJsonArray{"250 2.1.0", " ok\r\n"}}, {"pause", 1.0}}}};
        const QStringList tls{"STARTTLS", "PIPELINING"};
        QTest::newRow("refused login") << QStringList{"STARTTLS", "AUTH PLAIN"}
                                       << QJsonObject{{"AUTH", "535 5.7.8 bad credentials"}} << "" << true;
        QTest::newRow("close, kept connection idle") << tls << QJsonObject{} << "idle" << true;
        QTest::newRow("close, a reply awaited") << QStringList{"STARTTLS"} << slowMail << "MAIL" << true;
        QTest::newRow("close, DATA on the wire") << tls << slowMail << "MAIL" << false;
    }

    void endings()
    {
        QFETCH(QStringList, ehlo);
        QFETCH(QJsonObject, replies);
        QFETCH(QString, closeAt);
        QFETCH(bool, polite);
        QTemporaryDir dir;
        TestCertificates certs;
        QVERIFY(certs.make(dir.path()));
        Run run;
        QVERIFY(run.server.start({connection(ehlo, replies)}, &certs));
        SmtpAccount account = loopbackAccount(run.server.port());
        account.login = closeAt.isEmpty();
        account.userName = User;
        account.password = Password;
        account.caCertificates = QSslCertificate::fromPath(certs.caFile);
        run.session.emplace(testTimeouts(), true, run);
        run.session->submit(account, smallMessage(1));
        if (closeAt == QLatin1String("idle"))
            QVERIFY(run.waitFinished(1)); // accepted, and the connection kept
        else if (!closeAt.isEmpty())
            QVERIFY(run.server.waitFor(QStringLiteral("RECV "), QStringLiteral("MAIL FROM:<plant@example.com>")));
        if (!closeAt.isEmpty())
            run.session->close();
        QVERIFY(run.waitFinished(1));
        QVERIFY(run.server.waitFor(QStringLiteral("CLOSED "), QStringLiteral("1")));
        QCOMPARE(run.server.verbs().contains(QStringLiteral("QUIT")), polite);
        QCOMPARE(run.server.lines(QStringLiteral("TLS-CLOSE ")), polite ? QStringList{"1 ok"} : QStringList{});
        QTRY_VERIFY(run.session->isDisconnected());
    }

    void dropAfterFinalDataRepeatsOnlyTheMessageBehind_data()
    {
        QTest::addColumn<QStringList>("ehlo");
        QTest::addColumn<QString>("finalVerb");
        QTest::newRow("after the final dot") << QStringList{"PIPELINING"} << ".";
        QTest::newRow("after BDAT LAST") << QStringList{"PIPELINING", "CHUNKING"} << "BDAT";
    }

    void dropAfterFinalDataRepeatsOnlyTheMessageBehind()
    {
        QFETCH(QStringList, ehlo);
        QFETCH(QString, finalVerb);
        Run run;
        QVERIFY(run.server.start({connection(ehlo, {{finalVerb, QJsonArray{QJsonValue::Null}}}), connection(ehlo)}));
        QVERIFY(run.send(true, {smallMessage(1, "first"), smallMessage(2, "second")}));
        QCOMPARE(run.outcome(1).kind, MailOutcome::Kind::NoFinalReply);
        QVERIFY(run.outcome(1).mayHaveBeenAccepted());
        QVERIFY2(run.outcome(2).accepted(), qPrintable(run.outcome(2).explanation));
        QCOMPARE(run.server.lines(QStringLiteral("MESSAGE ")), QStringList{QStringLiteral("Subject: second")});
        QCOMPARE(run.server.lines(QStringLiteral("CONNECT ")), (QStringList{"1", "2"}));
        // The first message never goes out again: only its one try reached the server.
        QCOMPARE(run.server.lines(QStringLiteral("BODY Subject: first")).size(), 1);
    }

    void sizeLimit_data()
    {
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("sent");
        QTest::newRow("over the limit") << "SIZE 300" << false;
        QTest::newRow("within the limit") << "SIZE 1000" << true;
    }

    void sizeLimit()
    {
        QFETCH(QString, size);
        QFETCH(bool, sent);
        Run run;
        QVERIFY(run.server.start({connection({"PIPELINING", size})}));
        QVERIFY(run.send(true, {smallMessage(1, "first", 1, 500)}));
        QVERIFY(run.server.waitFor(QStringLiteral("RECV "), QStringLiteral("QUIT")));
        QCOMPARE(run.outcome().accepted(), sent);
        if (sent) {
            QVERIFY(run.server.received().contains(QStringLiteral("MAIL FROM:<plant@example.com> SIZE=500")));
            return;
        }
        QCOMPARE(run.outcome().kind, MailOutcome::Kind::NotSent);
        QCOMPARE(run.server.verbs(), (QStringList{"EHLO", "QUIT"}));
    }

    void bearerToken_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QJsonObject>("replies");
        QTest::addColumn<QStringList>("authLines"); // what the server read from AUTH on
        QTest::addColumn<QString>("explanation");   // part of a refusal; empty: accepted
        QTest::addColumn<QByteArray>("token");
        const auto xoauthOf = [](const QByteArray &token) {
            return QString::fromLatin1(("user=" + User.toUtf8() + "\x01" "auth=Bearer " + token + "\x01\x01").toBase64());
        };
        const QString xoauth = xoauthOf(Token);
        const QByteArray bearer = ("n,a=" + User.toUtf8() + ",\x01" "auth=Bearer " + Token + "\x01\x01").toBase64();
        const QString errorChallenge = QStringLiteral("334 ")
            + QString::fromLatin1(QByteArray(R"({"status":"401","schemes":"bearer"})").toBase64());
        const QJsonObject refused{{"AUTH", errorChallenge}, {"*", "535 5.7.8 token expired"}};
        const QString denied = QStringLiteral("Login denied by the server (535 5.7.8 token expired)");
        QTest::newRow("XOAUTH2") << "AUTH XOAUTH2" << QJsonObject{}
            << QStringList{"AUTH XOAUTH2 " + xoauth, "MAIL"} << "" << Token;
        QTest::newRow("OAUTHBEARER") << "AUTH OAUTHBEARER PLAIN" << QJsonObject{}
            << QStringList{"AUTH OAUTHBEARER " + bearer, "MAIL"} << "" << Token;
        QTest::newRow("password mechanisms only") << "AUTH PLAIN LOGIN CRAM-MD5" << QJsonObject{} << QStringList{}
            << "offers no OAuth sign-in (XOAUTH2 or OAUTHBEARER), only: PLAIN LOGIN CRAM-MD5" << Token;
        QTest::newRow("offer with a terminal escape") << "AUTH PLAIN \x1b[2J" << QJsonObject{} << QStringList{}
            << "only: PLAIN [2J" << Token; // what the server offers is its text: cleaned like a reply
        QTest::newRow("XOAUTH2 error challenge") << "AUTH XOAUTH2" << refused
            << QStringList{"AUTH XOAUTH2 " + xoauth, ""} << denied << Token;
        QTest::newRow("OAUTHBEARER error challenge") << "AUTH OAUTHBEARER" << refused
            << QStringList{"AUTH OAUTHBEARER " + bearer, "AQ=="} << denied << Token;
        // A response that would take the AUTH line past 512 octets goes alone
        // after the first 334: the server refuses longer command lines.
        const QByteArray fits(335, 't'), tooLong(336, 't'), jwt = "eyJ0eXAiOiJKV1QifQ." + QByteArray(2960, 'x');
        QTest::newRow("XOAUTH2, a line of 511 octets") << "AUTH XOAUTH2" << QJsonObject{}
            << QStringList{"AUTH XOAUTH2 " + xoauthOf(fits), "MAIL"} << "" << fits;
        QTest::newRow("XOAUTH2, 515 octets: alone") << "AUTH XOAUTH2" << QJsonObject{}
            << QStringList{"AUTH XOAUTH2", xoauthOf(tooLong), "MAIL"} << "" << tooLong;
        QTest::newRow("a 3 KB token, then the error challenge") << "AUTH XOAUTH2"
            << QJsonObject{{"*", QJsonArray{refused.value("AUTH"), refused.value("*")}}}
            << QStringList{"AUTH XOAUTH2", xoauthOf(jwt), ""} << denied << jwt;
    }

    void bearerToken()
    {
        QFETCH(QString, offered);
        QFETCH(QJsonObject, replies);
        QFETCH(QStringList, authLines);
        QFETCH(QString, explanation);
        QFETCH(QByteArray, token);
        Run run;
        QVERIFY(run.server.start({connection({offered}, replies)}));
        QVERIFY(run.send(false, {smallMessage(1)}, true, token));
        QCOMPARE(run.session->saslStart() == SaslStart::AfterChallenge, authLines.value(0) == "AUTH XOAUTH2");
        const MailOutcome outcome = run.outcome();
        const bool accepted = explanation.isEmpty();
        QCOMPARE(outcome.accepted(), accepted);
        QVERIFY2(outcome.explanation.contains(explanation), qPrintable(outcome.explanation));
        if (!accepted)
            QCOMPARE(outcome.phase, MailPhase::Auth);
        QStringList fromAuth = run.server.received().mid(1, authLines.size());
        if (accepted)
            fromAuth.last() = fromAuth.last().section(QLatin1Char(' '), 0, 0);
        QCOMPARE(fromAuth, authLines);
        for (const QString &line : run.server.received())
            QVERIFY2(!line.contains(QLatin1String(Password.toUtf8().toBase64())), qPrintable(line));
    }

    void loginExchangeStaysOutOfStatusLines_data()
    {
        QTest::addColumn<QString>("finalReply");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("accepted") << "235 2.7.0 ok" << true;
        QTest::newRow("denied, echoing what it got") << "535 5.7.8 {line} is wrong" << false;
        QTest::newRow("echoing it in a line that is not SMTP") << "5.7.8 {line} is wrong" << false;
    }

    void loginExchangeStaysOutOfStatusLines()
    {
        QFETCH(QString, finalReply);
        QFETCH(bool, accepted);
        const QString userPrompt = QStringLiteral("VXNlcm5hbWU6"), passwordPrompt = QStringLiteral("UGFzc3dvcmQ6");
        Run run;
        const QJsonObject replies{{"AUTH", "334 " + userPrompt}, {"*", QJsonArray{"334 " + passwordPrompt, finalReply}}};
        QVERIFY(run.server.start({connection({"AUTH LOGIN"}, replies)}));
        QVERIFY(run.send(false, {smallMessage(1)}, true));
        QCOMPARE(run.outcome().accepted(), accepted);
        const QString user64 = QString::fromLatin1(User.toUtf8().toBase64());
        const QString password64 = QString::fromLatin1(Password.toUtf8().toBase64());
        QCOMPARE(run.server.received().mid(1, 3), (QStringList{"AUTH LOGIN", user64, password64}));
        for (const QString &line : run.status + QStringList{run.outcome().explanation})
            for (const QString &secret : {user64, password64, Password, userPrompt, passwordPrompt})
                QVERIFY2(!line.contains(secret), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(SmtpSessionTest)
#include "tst_smtp_session.moc"
