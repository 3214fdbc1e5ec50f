// The parts of the account check that need no server: reading SMTP replies as
// they arrive in pieces, the program's command line, and the probe built by
// the service's own functions.

#include "app/ProgramArguments.h"
#include "check/CheckProbe.h"
#include "mail/CaFileCache.h"
#include "mail/SmtpReply.h"

#include <QTest>

using namespace corvane;

class CheckUnitsTest : public QObject {
    Q_OBJECT

private slots:
    void replyTakenOnlyWhenComplete_data()
    {
        QTest::addColumn<QByteArrayList>("arrivals"); // what the socket delivers, piece by piece
        QTest::addColumn<int>("code");                // 0: a failure
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("left");         // what stays for the next reply

        QTest::newRow("one line") << QByteArrayList{"220 mail.example ESMTP\r\n"} << 220
                                  << QStringList{"mail.example ESMTP"} << QByteArray();
        QTest::newRow("EHLO in pieces, cut inside a line")
            << QByteArrayList{"250-mail.exa", "mple\r\n250-SIZE 100", "0\r\n250 STARTTLS\r\n"} << 250
            << QStringList{"mail.example", "SIZE 1000", "STARTTLS"} << QByteArray();
        QTest::newRow("bare LF and a code without text") << QByteArrayList{"250\n"} << 250 << QStringList{""}
                                                        << QByteArray();
        QTest::newRow("the next reply stays") << QByteArrayList{"250 OK\r\n221 Bye\r\n"} << 250
                                             << QStringList{"OK"} << QByteArray("221 Bye\r\n");
        QTest::newRow("not SMTP") << QByteArrayList{"+OK POP3 ready\r\n"} << 0 << QStringList() << QByteArray();
        QTest::newRow("mixed codes") << QByteArrayList{"250-a\r\n550 b\r\n"} << 0 << QStringList() << QByteArray();
        QTest::newRow("code out of range") << QByteArrayList{"999 what\r\n"} << 0 << QStringList() << QByteArray();
        QTest::newRow("no separator after the code") << QByteArrayList{"250x\r\n"} << 0 << QStringList()
                                                     << QByteArray();
        QTest::newRow("a line that never ends") << QByteArrayList{QByteArray(5000, 'a')} << 0 << QStringList()
                                                << QByteArray();
        QTest::newRow("a reply that never ends")
            << QByteArrayList{QByteArray("250-x\r\n").repeated(150)} << 0 << QStringList() << QByteArray();
    }

    void replyTakenOnlyWhenComplete()
    {
        QFETCH(QByteArrayList, arrivals);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, left);

        QByteArray buffer;
        SmtpReply reply;
        bool taken = false;
        for (qsizetype i = 0; i < arrivals.size(); ++i) {
            QVERIFY2(!taken, "a reply was taken before its last piece arrived");
            buffer += arrivals.at(i);
            taken = SmtpReply::take(buffer, &reply);
        }
        QVERIFY(taken);
        QCOMPARE(reply.code, code);
        if (code == 0) {
            QVERIFY(!reply.received());
            QVERIFY(!reply.failure.isEmpty());
            return;
        }
        QCOMPARE(reply.lines, lines);
        QCOMPARE(buffer, left);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("list");
        QTest::addColumn<bool>("json");
        QTest::addColumn<QString>("folder");

        using A = ProgramArguments::Action;
        QTest::newRow("nothing: run") << QStringList{} << int(A::Run) << 0 << false << QString();
        QTest::newRow("folder") << QStringList{"--folder", "/var/lib/corvane"} << int(A::Run) << 0 << false
                                << QString("/var/lib/corvane");
        QTest::newRow("check") << QStringList{"--check"} << int(A::Check) << 0 << false << QString();
        QTest::newRow("check one list as JSON") << QStringList{"--check", "--list", "8", "--json"} << int(A::Check)
                                                << 8 << true << QString();
        QTest::newRow("help wins") << QStringList{"--check", "-h"} << int(A::Help) << 0 << false << QString();
        QTest::newRow("version") << QStringList{"--version"} << int(A::Version) << 0 << false << QString();
        QTest::newRow("list 0") << QStringList{"--check", "--list", "0"} << int(A::Error) << 0 << false << QString();
        QTest::newRow("list 9") << QStringList{"--check", "--list", "9"} << int(A::Error) << 0 << false << QString();
        QTest::newRow("list without check") << QStringList{"--list", "1"} << int(A::Error) << 0 << false
                                            << QString();
        QTest::newRow("timeout not a number") << QStringList{"--check", "--timeout", "soon"} << int(A::Error) << 0
                                              << false << QString();
        QTest::newRow("unknown option") << QStringList{"--chek"} << int(A::Error) << 0 << false << QString();
        QTest::newRow("stray word") << QStringList{"check"} << int(A::Error) << 0 << false << QString();
        QTest::newRow("empty folder") << QStringList{"--folder="} << int(A::Error) << 0 << false << QString();
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(int, list);
        QFETCH(bool, json);
        QFETCH(QString, folder);

        const ProgramArguments parsed = ProgramArguments::parse(QStringList{"corvane"} + arguments);
        QCOMPARE(int(parsed.action), action);
        if (parsed.action == ProgramArguments::Action::Error) {
            QVERIFY(!parsed.error.isEmpty());
            return;
        }
        QCOMPARE(parsed.list, list);
        QCOMPARE(parsed.json, json);
        QCOMPARE(parsed.folder, folder);
    }

    // What the service would send to and sign in with, and where the check
    // stands in so that the session still reaches the stages after a problem.
    void probeAsTheServiceBuildsIt_data()
    {
        QTest::addColumn<int>("list");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QByteArray>("signIn");
        QTest::addColumn<QStringList>("checked");   // the addresses the Recipients stage names
        QTest::addColumn<int>("notes");             // list slots the service leaves out
        QTest::addColumn<QStringList>("rcpt");      // what the session writes RCPT for
        QTest::addColumn<QString>("mailFrom");
        QTest::addColumn<QByteArray>("token");      // the account's bearer token; else the password

        const QString alarm = "alarm@plant.example";
        const QStringList all{"shift@plant.example", "second@plant.example", "a b@plant.example"};
        const QStringList usable{"shift@plant.example", "second@plant.example"};
        QTest::newRow("every list, in list order, each once, with the password")
            << 0 << alarm << "alarm" << QByteArray() << all << 1 << usable << alarm << QByteArray();
        QTest::newRow("one list") << 2 << alarm << "alarm" << QByteArray() << QStringList{"second@plant.example"} << 0
                                  << QStringList{"second@plant.example"} << alarm << QByteArray();
        QTest::newRow("only unusable addresses: postmaster stands in")
            << 3 << alarm << "alarm" << QByteArray() << QStringList{"a b@plant.example"} << 0
            << QStringList{"postmaster"} << alarm << QByteArray();
        QTest::newRow("an unusable sender goes out as the null sender")
            << 0 << "alarm @plant.example" << "alarm" << QByteArray() << all << 1 << usable << QString()
            << QByteArray();
        QTest::newRow("OAuth: the token, never the password")
            << 0 << alarm << "alarm" << QByteArray("sign-in") << all << 1 << usable << alarm << QByteArray("T0ken");
        QTest::newRow("OAuth without a user name: no sign-in, Login says why")
            << 0 << alarm << "" << QByteArray("sign-in") << all << 1 << usable << alarm << QByteArray();
    }

    void probeAsTheServiceBuildsIt()
    {
        QFETCH(int, list);
        QFETCH(QString, sender);
        QFETCH(QString, userName);
        QFETCH(QByteArray, signIn);
        QFETCH(QStringList, checked);
        QFETCH(int, notes);
        QFETCH(QStringList, rcpt);
        QFETCH(QString, mailFrom);
        QFETCH(QByteArray, token);

        Settings settings;
        settings.RecipientLists[1].Addresses[1] = "shift@plant.example";
        settings.RecipientLists[1].Addresses[2] = "  second@plant.example ";
        settings.RecipientLists[1].Addresses[4] = "no-at-sign";
        settings.RecipientLists[2].Addresses[16] = "second@plant.example";
        settings.RecipientLists[3].Addresses[1] = "a b@plant.example";
        AccountSettingsRecord &a = settings.AccountSettings;
        a.SmtpServer = "smtp://mail.plant.example";
        a.SenderEmail = sender;
        a.UseLogin = true;
        a.UserName = userName;
        a.UserPassword = "pw";
        CaFileCache caFiles;

        const CheckProbe probe = CheckProbe::build(settings, list, signIn, "T0ken", caFiles);
        const MailRequest &r = probe.request;
        QVERIFY2(r.failure.isEmpty(), qPrintable(r.failure));
        QCOMPARE(probe.recipients, checked);
        QCOMPARE(probe.recipientNotes.size(), notes);
        QCOMPARE(r.message.recipients, rcpt);
        QCOMPARE(r.message.sender, mailFrom);
        QVERIFY(r.message.probeOnly);
        QCOMPARE(r.account.endpoint.host, QString("mail.plant.example"));
        QCOMPARE(r.account.bearerToken, token);
        QCOMPARE(r.account.password, token.isEmpty() ? QString("pw") : QString());
    }
};

QTEST_GUILESS_MAIN(CheckUnitsTest)
#include "tst_check_units.moc"
