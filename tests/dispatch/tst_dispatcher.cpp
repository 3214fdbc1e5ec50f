// Dispatcher passes against a real SMTP server on loopback (the capture server
// in tests/support), a scripted one for the faults, and a port nobody listens on.

#include "DispatchRig.h"
#include "mail/MailHarness.h" // SmtpScriptServer, all inline

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace corvane;
using namespace corvane::dispatchtest;

class DispatcherTest : public QObject {
    Q_OBJECT

private slots:
    void emptyQueueChangesNothing()
    {
        Rig rig;
        QSignalSpy cleared(&rig.dispatcher, &Dispatcher::statusCleared);
        QVERIFY(rig.runPass());
        QCOMPARE(cleared.count(), 0);
        QVERIFY(rig.logMessages().isEmpty());
        QVERIFY(!rig.component.isSending());
        QVERIFY(!rig.dispatcher.isPassRunning());
    }

    void sendsEveryPendingEntryInIndexOrder()
    {
        CaptureServer server;
        QVERIFY2(server.start(), server.process.output().constData());
        Rig rig;
        rig.pointAt(server.port);

        // Slots 0, 5 and 150 of a queue grown to 201 slots.
        const QueuedEmailArray &entries = rig.queue.emailQueue();
        for (int i = 0; i <= 150; ++i)
            QCOMPARE(rig.queue.store(entry(QStringLiteral("entry %1").arg(i))), std::optional<int>(i));
        for (int i = 0; i <= 150; ++i)
            if (i != 0 && i != 5 && i != 150)
                rig.queue.release(i);
        QCOMPARE(entries.upperBound(), 200);
        QCOMPARE(entries.pendingCount(), 3);

        QSignalSpy cleared(&rig.dispatcher, &Dispatcher::statusCleared);
        QVERIFY(rig.runPass());

        QCOMPARE(server.subjects(),
                 QStringList({QStringLiteral("entry 0"), QStringLiteral("entry 5"),
                              QStringLiteral("entry 150")}));
        QCOMPARE(rig.logged(QStringLiteral("Send email:")),
                 QStringList({QStringLiteral("Send email:entry 0"),
                              QStringLiteral("Send email:entry 5"),
                              QStringLiteral("Send email:entry 150")}));
        QCOMPARE(cleared.count(), 3);
        QCOMPARE(entries.pendingCount(), 0);
        for (int i : {0, 5, 150}) {
            QCOMPARE(entries.at(i).Pending, std::int16_t(0));
            QVERIFY(entries.at(i).Subject.isEmpty());
            QVERIFY(entries.at(i).Recipients.isEmpty());
            QVERIFY(entries.at(i).Body.isEmpty());
        }

        // Each send's status lines are logged after its own "Send email:" line.
        const QStringList messages = rig.logMessages();
        QCOMPARE(messages.first(), QStringLiteral("Send email:entry 0"));
        int statusSinceSend = 0;
        for (const QString &message : messages) {
            if (message.startsWith(QStringLiteral("Send email:"))) {
                QVERIFY2(message == messages.first() || statusSinceSend > 0, qPrintable(message));
                statusSinceSend = 0;
            } else {
                QVERIFY2(message.startsWith(QStringLiteral("Status:")), qPrintable(message));
                ++statusSinceSend;
            }
        }
        QVERIFY(statusSinceSend > 0);

        // Nothing is left to send: another pass sends nothing again.
        QVERIFY(rig.runPass());
        QCOMPARE(server.messages().size(), 3);
    }

    void failedSendIsDroppedAndTheRestOfThePassGoesOn()
    {
        CaptureServer server;
        QVERIFY2(server.start(), server.process.output().constData());
        Rig rig;
        QTcpServer wrong;
        QVERIFY(wrong.listen(QHostAddress::LocalHost));
        rig.pointAt(wrong.serverPort());
        rig.queue.store(entry(QStringLiteral("lost")));
        rig.queue.store(entry(QStringLiteral("delivered")));
        rig.queue.store(entry(QStringLiteral("also delivered")));

        // While the first send waits for a greeting, the account is mended, as
        // an operator would in the dialog; then that send fails. The other
        // entries, queued and lined up before the change, go out with the new
        // account within the same pass.
        bool mended = false;
        connect(&wrong, &QTcpServer::newConnection, &wrong, [&] {
            QTcpSocket *socket = wrong.nextPendingConnection();
            if (!mended) {
                rig.pointAt(server.port);
                rig.dispatcher.accountChanged();
            }
            mended = true;
            socket->abort();
        });
        QVERIFY(rig.runPass());
        QVERIFY(mended);
        const QStringList arrived{QStringLiteral("delivered"), QStringLiteral("also delivered")};
        QCOMPARE(server.subjects(), arrived);
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);

        // The failed message is never sent again, not even to a working server.
        for (int pass = 0; pass < 3; ++pass)
            QVERIFY(rig.runPass());
        QCOMPARE(server.subjects(), arrived);
        QCOMPARE(rig.logged(QStringLiteral("Send email:")),
                 QStringList({QStringLiteral("Send email:lost"), QStringLiteral("Send email:delivered"),
                              QStringLiteral("Send email:also delivered")}));

        // The failed attempt left its status lines between its own line and the next.
        const QStringList messages = rig.logMessages();
        const qsizetype lost = messages.indexOf(QStringLiteral("Send email:lost"));
        const qsizetype delivered = messages.indexOf(QStringLiteral("Send email:delivered"));
        QVERIFY(lost >= 0 && delivered > lost + 1);
        for (qsizetype i = lost + 1; i < delivered; ++i)
            QVERIFY2(messages.at(i).startsWith(QStringLiteral("Status:")), qPrintable(messages.at(i)));
    }

    // A close while a message is sent: those already lined up behind it are
    // taken back and stay queued, neither sent nor freed.
    void stopLeavesTheNextMessageQueued()
    {
        Rig rig;
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        rig.pointAt(silent.serverPort());
        rig.queue.store(entry(QStringLiteral("running")));
        for (int i = 1; i <= 4; ++i)
            rig.queue.store(entry(QStringLiteral("next %1").arg(i)));

        QSignalSpy passFinished(&rig.dispatcher, &Dispatcher::passFinished);
        rig.dispatcher.onTick();
        QVERIFY(silent.waitForNewConnection(10000));
        rig.dispatcher.stop();
        rig.component.cancel();
        QVERIFY(passFinished.wait(10000));
        QVERIFY(!rig.component.isSending());

        const QueuedEmailArray &entries = rig.queue.emailQueue();
        QCOMPARE(entries.pendingCount(), 4);
        QCOMPARE(entries.at(4).Subject, QStringLiteral("next 4"));
        QCOMPARE(rig.logged(QStringLiteral("Send email:")), QStringList{QStringLiteral("Send email:running")});
    }

    void ticksDuringAPassDoNothing()
    {
        CaptureServer server;
        QVERIFY2(server.start(), server.process.output().constData());
        Rig rig;
        rig.pointAt(server.port);
        for (int i = 0; i < 4; ++i)
            rig.queue.store(entry(QStringLiteral("alarm %1").arg(i)));

        // A fast timer hammers the dispatcher the whole time, and every send
        // start brings two more ticks of its own.
        // Only ticks that reach the dispatcher while a pass runs are counted.
        int ticksDuringPass = 0;
        auto tick = [&] {
            if (rig.dispatcher.isPassRunning())
                ++ticksDuringPass;
            rig.dispatcher.onTick();
        };
        QTimer hammer;
        hammer.setInterval(1);
        connect(&hammer, &QTimer::timeout, &rig.dispatcher, tick);
        connect(&rig.dispatcher, &Dispatcher::statusCleared, &rig.dispatcher, [&] {
            tick();
            tick();
        });
        QSignalSpy finished(&rig.dispatcher, &Dispatcher::passFinished);
        rig.dispatcher.onTick();
        hammer.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.queue.emailQueue().pendingCount() == 0, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.dispatcher.isPassRunning(), 10000);
        hammer.stop();

        // Each send start brought two ticks inside the pass; none started a send.
        QVERIFY2(ticksDuringPass >= 8, qPrintable(QString::number(ticksDuringPass)));
        QCOMPARE(server.subjects(),
                 QStringList({QStringLiteral("alarm 0"), QStringLiteral("alarm 1"),
                              QStringLiteral("alarm 2"), QStringLiteral("alarm 3")}));
        QCOMPARE(rig.logged(QStringLiteral("Send email:")).size(), 4);
        QVERIFY(finished.count() >= 1);
    }

    void entriesQueuedDuringAPassFollowTheBoundReadAtItsStart()
    {
        Rig rig; // nobody listens: every send fails quickly
        const QueuedEmailArray &entries = rig.queue.emailQueue();
        for (int i = 0; i <= 100; ++i)
            rig.queue.store(entry(QStringLiteral("full %1").arg(i)));
        QCOMPARE(entries.upperBound(), 100);

        // While slot 0 is being sent, a new message arrives: every slot is taken,
        // so the queue grows and the message lands beyond the bound of this pass.
        // The next one arrives when slot 0 is free again and takes it, below the
        // walk: it waits for the next pass too.
        std::optional<int> beyond;
        std::optional<int> below;
        connect(&rig.dispatcher, &Dispatcher::statusCleared, &rig.dispatcher, [&] {
            if (!beyond)
                beyond = rig.queue.store(entry(QStringLiteral("beyond")));
            else if (!below && !entries.isPending(0))
                below = rig.queue.store(entry(QStringLiteral("below")));
        });
        QVERIFY(rig.runPass(60000));
        QCOMPARE(beyond, std::optional<int>(101));
        QCOMPARE(below, std::optional<int>(0));
        QCOMPARE(rig.logged(QStringLiteral("Send email:")).size(), 101);
        QVERIFY(entries.isPending(0));
        QVERIFY(entries.isPending(101));
        QCOMPARE(entries.pendingCount(), 2);

        QVERIFY(rig.runPass());
        QCOMPARE(entries.pendingCount(), 0);
        const QStringList sent = rig.logged(QStringLiteral("Send email:"));
        QCOMPARE(sent.mid(101), QStringList({QStringLiteral("Send email:below"),
                                              QStringLiteral("Send email:beyond")}));
    }

    void refusedSendFreesTheSlotAndGoesOn()
    {
        // A server that accepts the connection and never says a word keeps the
        // component full of sends of others, so the dispatcher's are refused.
        test::SilentServer silent;
        QVERIFY(silent.listen());
        Rig rig;
        rig.pointAt(silent.port());
        rig.component.setSmtpHost(rig.settings.AccountSettings.SmtpServer);
        rig.component.setSenderAddress(QStringLiteral("corvane@example.com"));
        rig.component.setRecipients(QStringLiteral("ops@example.com"));
        for (quint64 foreign = 1000; foreign <= 1000 + MailComponent::MaxAhead; ++foreign)
            QVERIFY(rig.component.submit(foreign, rig.component.properties()));
        QVERIFY(rig.component.isSending());

        rig.queue.store(entry(QStringLiteral("one")));
        rig.queue.store(entry(QStringLiteral("two")));
        QSignalSpy finished(&rig.dispatcher, &Dispatcher::passFinished);
        rig.dispatcher.onTick();
        QCOMPARE(finished.count(), 1); // ended at once, without waiting
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);
        QCOMPARE(rig.logged(QStringLiteral("Send email:")).size(), 2);

        QSignalSpy componentDone(&rig.component, &MailComponent::finished);
        rig.component.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(componentDone.count(), MailComponent::MaxAhead + 1, 3000);
        // The foreign send's end does not start or end a pass.
        QCOMPARE(finished.count(), 1);
        QVERIFY(!rig.dispatcher.isPassRunning());
    }

    // A fault on the first connection, a server that takes everything after
    // it; "first" meets the fault, "second" stands behind it. A server-wide
    // fault (an outage too) holds both, and they go in order once it is over.
    void passingFaultsAreTriedAgain_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("expected"); // later, pause, twice, failed
        const auto reply = [](const char *verb, const QJsonValue &text) {
            return QJsonObject{{"replies", QJsonObject{{verb, text}}}};
        };
        QTest::newRow("closed before the greeting") << QJsonObject{{"greeting", QJsonValue()}} << "pause";
        QTest::newRow("greeting 421") << QJsonObject{{"greeting", "421 4.3.2 busy"}} << "pause";
        QTest::newRow("EHLO 451") << reply("EHLO", "451 4.3.0 later") << "pause";
        QJsonObject signIn = reply("AUTH", "535 5.7.8 bad credentials");
        signIn.insert("ehlo", QJsonArray{"AUTH PLAIN"});
        QTest::newRow("sign-in 535") << signIn << "pause";
        QTest::newRow("MAIL 451") << reply("MAIL", "451 4.3.0 try again later") << "later";
        QTest::newRow("RCPT 450") << reply("RCPT", "450 4.2.1 mailbox busy") << "later";
        QTest::newRow("DATA 451") << reply("DATA", "451 4.3.0 later") << "later";
        QTest::newRow("end of data 451") << reply(".", "451 4.3.0 try again later") << "later";
        QTest::newRow("MAIL 421 4.7.0") << reply("MAIL", "421 4.7.0 Try again later") << "pause";
        QTest::newRow("end of data 432") << reply(".", "432 4.3.2 STOREDRV.ClientSubmit; thread limit") << "pause";
        QTest::newRow("drop after end of data") << reply(".", QJsonValue()) << "twice";
        QTest::newRow("MAIL 550") << reply("MAIL", "550 5.7.1 not allowed") << "failed";
        QTest::newRow("RCPT 550") << reply("RCPT", "550 5.1.1 no such user") << "failed";
        QTest::newRow("end of data 554") << reply(".", "554 5.6.0 rejected") << "failed";
    }

    void passingFaultsAreTriedAgain()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, expected);
        test::SmtpScriptServer server;
        QVERIFY(server.start({fault, QJsonObject()}));
        Rig rig;
        rig.pointAt(server.port());
        AccountSettingsRecord &account = rig.settings.AccountSettings;
        account.RetryHours = 24;
        account.UseLogin = true; // for the row whose server asks for a sign-in
        account.UserName = account.UserPassword = "plant";
        rig.queue.store(entry("first"));
        rig.queue.store(entry("second"));
        QSignalSpy statusLines(&rig.dispatcher, &Dispatcher::statusLine);
        QSignalSpy deferredCount(&rig.dispatcher, &Dispatcher::deferredCountChanged);

        QVERIFY(rig.runPass());
        const bool failed = expected == "failed", pause = expected == "pause";
        const QStringList deferred = rig.logged("Deferred:first (attempt 1");
        QCOMPARE(deferred.size(), failed ? 0 : 1);
        QCOMPARE(rig.queue.emailQueue().isPending(0), !failed);
        if (!failed) {
            QVERIFY2(deferred[0].contains("next try at "), qPrintable(deferred[0]));
            QCOMPARE(statusLines.first().first().toString(), deferred[0]);
            QCOMPARE(deferredCount.last().first().toInt(), 1);
        }
        // Only a server-wide condition holds the message behind.
        QCOMPARE(rig.delivered(), pause ? QStringList() : QStringList{"second"});
        QCOMPARE(rig.dispatcher.pausedUntilMs() > QDateTime::currentMSecsSinceEpoch(), pause);
        rig.dispatcher.onTick(); // before the back-off is over nothing goes
        QVERIFY(!rig.dispatcher.isPassRunning());
        QCOMPARE(rig.logged("Send email:first").size(), 1);
        if (failed)
            return;

        rig.skewMs = 5 * 60 * 1000;
        QVERIFY(rig.runPass());
        // After a pause the queue goes in its order.
        QCOMPARE(rig.delivered(), pause ? QStringList({"first", "second"}) : QStringList({"second", "first"}));
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);
        QCOMPARE(deferredCount.last().first().toInt(), 0);

        // Only the one unanswered end of data is said to repeat; every message
        // keeps its Message-ID for every try.
        const int twice = expected == "twice" ? 1 : 0;
        QCOMPARE(rig.logged("Sent again with the same Message-ID: it may arrive twice").size(), twice);
        QCOMPARE(rig.logged("Deferred:first went out without a reply").size(), twice);
        QTRY_COMPARE(server.lines("MESSAGE ").size(), 2);
        const QStringList subjects = server.lines("BODY Subject: "), ids = server.lines("BODY Message-ID: ");
        QCOMPARE(subjects.size(), ids.size());
        QHash<QString, QString> idOf;
        for (qsizetype i = 0; i < ids.size(); ++i)
            QCOMPARE(*idOf.insert(subjects[i], idOf.value(subjects[i], ids[i])), ids[i]);
        QVERIFY(idOf.value("first") != idOf.value("second"));
    }

    void givenUpOnceRetryHoursHavePassed()
    {
        test::SmtpScriptServer refusing; // every connection refuses MAIL for now
        QVERIFY(refusing.start({QJsonObject{{"replies", QJsonObject{{"MAIL", "451 4.3.0 later"}}}}}));
        Rig rig;
        rig.pointAt(refusing.port());
        rig.settings.AccountSettings.RetryHours = 1;
        rig.queue.store(entry("Boiler"));
        QVERIFY(rig.runPass());
        QCOMPARE(rig.dispatcher.deferredCount(), 1);

        rig.skewMs = 2 * 3600 * 1000;
        QSignalSpy statusLines(&rig.dispatcher, &Dispatcher::statusLine);
        QVERIFY(rig.runPass());
        const QString givenUp = "Given up:Boiler after 2 attempts; last reply: 451 4.3.0 later";
        QCOMPARE(rig.logged("Given up:"), QStringList{givenUp});
        QCOMPARE(statusLines.count(), 1);
        QCOMPARE(statusLines.first().first().toString(), givenUp);
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);
        QCOMPARE(rig.dispatcher.deferredCount(), 0);
    }

    void maxPerMinuteSpacesTheAttempts()
    {
        CaptureServer server;
        QVERIFY2(server.start(), server.process.output().constData());
        Rig rig;
        rig.pointAt(server.port);
        rig.settings.AccountSettings.MaxPerMinute = 2;
        for (const char *subject : {"a", "b", "c"})
            rig.queue.store(entry(subject));
        QVERIFY(rig.runPass());
        QCOMPARE(server.subjects(), QStringList({"a", "b"}));
        QVERIFY(rig.runPass()); // still within the minute
        QCOMPARE(server.messages().size(), 2);
        rig.skewMs = 61 * 1000;
        QVERIFY(rig.runPass());
        QCOMPARE(server.subjects(), QStringList({"a", "b", "c"}));
    }

    void fillsTheComponentFromAccountAndEntry()
    {
        Rig rig;
        AccountSettingsRecord &account = rig.settings.AccountSettings;
        account.SenderEmail = QStringLiteral("alarm@plant.example");
        account.SenderName = QStringLiteral("Plant Alarms");
        account.Pop3Server = QStringLiteral("pop.plant.example");
        account.UserName = QStringLiteral("alarm");
        account.UserPassword = QStringLiteral("s3cret");
        account.UseHtml = true;
        account.UseMime = true;
        account.UseUUEncode = true;
        account.RequestReceipt = true;
        account.UseLogin = true;
        account.Priority = 1;
        // Leftovers from an earlier message must not survive.
        for (int i = 0; i < 7; ++i)
            rig.component.setFurtherText(i, QStringLiteral("stale"));
        rig.component.setThirdOption(7);

        rig.queue.store(entry(QStringLiteral("Boiler"), QStringLiteral("Pressure high"),
                                         QStringLiteral("a@example.com; b@example.com")));
        QVERIFY(rig.runPass());

        const MailProperties &p = rig.component.properties();
        QCOMPARE(p.firstOption, 0);
        QCOMPARE(p.secondOption, 1);
        QCOMPARE(p.addressSeparator, QStringLiteral(";"));
        QCOMPARE(p.smtpHost, account.SmtpServer);
        QCOMPARE(p.senderAddress, QStringLiteral("alarm@plant.example"));
        QCOMPARE(p.senderName, QStringLiteral("Plant Alarms"));
        QCOMPARE(p.recipients, QStringLiteral("a@example.com; b@example.com"));
        QCOMPARE(p.furtherTexts, QStringList(7, QString()));
        QCOMPARE(p.subject, QStringLiteral("Boiler"));
        QCOMPARE(p.messageText, QStringLiteral("Pressure high"));
        QCOMPARE(p.html, true);
        QCOMPARE(p.encodingType, 0);
        QCOMPARE(p.priority, 1);
        QCOMPARE(p.returnReceipt, true);
        QCOMPARE(p.serverLogin, true);
        QCOMPARE(p.popLogin, false);
        QCOMPARE(p.userName, QStringLiteral("alarm"));
        QCOMPARE(p.password, QStringLiteral("s3cret"));
        QCOMPARE(p.pop3Host, QStringLiteral("pop.plant.example"));
        QCOMPARE(p.thirdOption, 100);
        // The password reaches the component and nowhere else.
        for (const QString &message : rig.logMessages())
            QVERIFY2(!message.contains(QStringLiteral("s3cret")), qPrintable(message));
    }

    void priorityAndEncodingFollowTheAccount()
    {
        Rig rig;
        AccountSettingsRecord &account = rig.settings.AccountSettings;
        const auto sendOne = [&rig](std::uint8_t priority, bool mime, bool uuencode) {
            rig.settings.AccountSettings.Priority = priority;
            rig.settings.AccountSettings.UseMime = mime;
            rig.settings.AccountSettings.UseUUEncode = uuencode;
            rig.queue.store(entry(QStringLiteral("p")));
            return rig.runPass();
        };

        // Out of range before any message: the component's own initial value.
        const int initial = rig.component.properties().priority;
        QVERIFY(sendOne(7, false, false));
        QCOMPARE(rig.component.properties().priority, initial);
        QCOMPARE(rig.component.properties().encodingType, 1);

        QVERIFY(sendOne(2, true, false));
        QCOMPARE(rig.component.properties().priority, 5);
        QCOMPARE(rig.component.properties().encodingType, 0);

        // Out of range after a message: that message's value stays.
        QVERIFY(sendOne(7, false, true));
        QCOMPARE(rig.component.properties().priority, 5);
        QCOMPARE(rig.component.properties().encodingType, 1); // UUEncode is not consulted

        QVERIFY(sendOne(0, false, false));
        QCOMPARE(rig.component.properties().priority, 3);
        QVERIFY(sendOne(1, true, true));
        QCOMPARE(rig.component.properties().priority, 1);
        QCOMPARE(rig.component.properties().encodingType, 0);
        account.UsePopLogin = true;
        QVERIFY(sendOne(255, true, true));
        QCOMPARE(rig.component.properties().priority, 1);
        QCOMPARE(rig.component.properties().popLogin, true);
    }
};

QTEST_GUILESS_MAIN(DispatcherTest)
#include "tst_dispatcher.moc"
