// Digests through the dispatcher: a window per recipient list on a clock the
// test moves, against real SMTP servers on loopback.

#include "DispatchRig.h"
#include "mail/MailHarness.h" // SmtpScriptServer, all inline

#include <QRegularExpression>
#include <QTest>

using namespace corvane;
using namespace corvane::dispatchtest;

namespace {

const QString Ops = QStringLiteral("ops@example.com");
const QString Night = QStringLiteral("night@example.com");

// The envelope recipients and the subject of each message the capture server
// took, in order: "ops@example.com: Pump 3 stopped".
QStringList received(const CaptureServer &server)
{
    QStringList found;
    for (const QByteArray &message : server.messages()) {
        QString to, subject;
        for (const QByteArray &line : message.split('\n')) {
            if (line.startsWith("X-Envelope-To: "))
                to = QString::fromUtf8(line.mid(15).trimmed());
            if (line.startsWith("Subject: ")) {
                subject = QString::fromUtf8(line.mid(9).trimmed());
                break;
            }
        }
        found << to + QStringLiteral(": ") + subject;
    }
    return found;
}

} // namespace

class DigestDispatchTest : public QObject {
    Q_OBJECT

private slots:
    // The first alarm at once; the next ones for that list wait for the end
    // of its window and go as one digest, which opens the next window; the
    // other list keeps its own window.
    void aWindowPerList()
    {
        CaptureServer server;
        QVERIFY2(server.start(), server.process.output().constData());
        Rig rig;
        rig.pointAt(server.port);
        rig.settings.AccountSettings.DigestSeconds = 30;
        QSignalSpy waiting(&rig.dispatcher, &Dispatcher::digestWaitingChanged);

        rig.queue.store(entry("Pump 3 stopped", "Motor overload", Ops));
        QVERIFY(rig.runPass());
        QCOMPARE(received(server), QStringList{"ops@example.com: Pump 3 stopped"});

        rig.queue.store(entry("Pressure low", "Below 2 bar", Ops));
        rig.queue.store(entry("Flow low", "Flow 0 l/min", Ops));
        rig.queue.store(entry("Boiler trip", "Flame out", Night));
        QVERIFY(rig.runPass());
        QCOMPARE(received(server).mid(1), QStringList{"night@example.com: Boiler trip"});
        QCOMPARE(waiting.last().first().toInt(), 2);

        rig.skewMs = 29000;
        rig.queue.store(entry("Pressure low", "Below 2 bar", Ops));
        QVERIFY(rig.runPass());
        QCOMPARE(server.messages().size(), 2);
        QCOMPARE(waiting.last().first().toInt(), 3);

        rig.skewMs = 30500;
        QVERIFY(rig.runPass());
        QCOMPARE(received(server).mid(2), QStringList{"ops@example.com: 3 alarms: Pressure low (+2 more)"});
        QCOMPARE(waiting.last().first().toInt(), 0);
        const QByteArray digest = server.messages().at(2);
        QVERIFY(digest.contains("=C3=972, ") && digest.contains("  Pressure low\r\nBelow 2 bar\r\n"));
        QVERIFY(digest.contains("  Flow low\r\nFlow 0 l/min\r\n"));
        const QStringList sent = rig.logged("Send email:");
        QCOMPARE(sent.last(), "Send email:3 alarms: Pressure low (+2 more)");
        const QStringList messages = rig.logMessages();
        QVERIFY(messages.at(messages.indexOf(sent.last()) + 1).startsWith("Digest of 3 alarms queued at "));

        // The storm goes on: the digest opened the next window.
        rig.queue.store(entry("Level high", "Tank 2 at 95 %", Ops));
        QVERIFY(rig.runPass());
        QCOMPARE(server.messages().size(), 3);
        rig.skewMs = 61000;
        QVERIFY(rig.runPass());
        QCOMPARE(received(server).mid(3), QStringList{"ops@example.com: Level high"});
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);
    }

    // A deferred digest goes again whole, with its Message-ID; the alarms that
    // came meanwhile wait for the next window and make the next digest.
    void aDeferredDigestKeepsWhatItCarries()
    {
        test::SmtpScriptServer server;
        QVERIFY(server.start({QJsonObject{{"replies", QJsonObject{{".", "451 4.3.0 try again later"}}}},
                              QJsonObject()}));
        Rig rig;
        rig.pointAt(server.port());
        rig.settings.AccountSettings.RetryHours = 24;
        rig.settings.AccountSettings.DigestSeconds = 30;
        for (const char *subject : {"a1", "a2", "a3"})
            rig.queue.store(entry(subject, "text", Ops));
        QSignalSpy deferred(&rig.dispatcher, &Dispatcher::deferredCountChanged);
        QVERIFY(rig.runPass());
        QCOMPARE(rig.logged("Deferred:").size(), 1);
        QVERIFY(rig.logged("Deferred:").first().startsWith("Deferred:3 alarms: a1 (+2 more) (attempt 1): 451"));
        QCOMPARE(deferred.last().first().toInt(), 3);

        rig.queue.store(entry("a4", "text", Ops));
        rig.queue.store(entry("a5", "text", Ops));
        rig.skewMs = 10500;
        QVERIFY(rig.runPass());
        QTRY_COMPARE(server.lines("MESSAGE ").size(), 1);
        QCOMPARE(deferred.last().first().toInt(), 0);
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 2);

        rig.skewMs = 30500;
        QVERIFY(rig.runPass());
        QTRY_COMPARE(server.lines("MESSAGE ").size(), 2);
        QCOMPARE(server.lines("BODY Subject: "),
                 QStringList({"3 alarms: a1 (+2 more)", "3 alarms: a1 (+2 more)", "2 alarms: a4 (+1 more)"}));
        const QStringList ids = server.lines("BODY Message-ID: ");
        QCOMPARE(ids.size(), 3);
        QCOMPARE(ids[0], ids[1]);
        QVERIFY(ids[2] != ids[0]);
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);
    }

    // A digest starts once, however many alarms it carries; a list behind it
    // waits for the limit like any message.
    void maxPerMinuteCountsADigestOnce()
    {
        CaptureServer server;
        QVERIFY2(server.start(), server.process.output().constData());
        Rig rig;
        rig.pointAt(server.port);
        rig.settings.AccountSettings.DigestSeconds = 30;
        rig.settings.AccountSettings.MaxPerMinute = 1;
        for (int i = 1; i <= 5; ++i)
            rig.queue.store(entry(QStringLiteral("o%1").arg(i), "text", Ops));
        rig.queue.store(entry("n1", "text", Night));
        QVERIFY(rig.runPass());
        QCOMPARE(received(server), QStringList{"ops@example.com: 5 alarms: o1 (+4 more)"});
        rig.skewMs = 61000;
        QVERIFY(rig.runPass());
        QCOMPARE(received(server).mid(1), QStringList{"night@example.com: n1"});
    }

    // A digest larger than the server's SIZE is refused before its data goes;
    // its alarms go again at once in digests the server takes, none cut.
    void aDigestTooLargeForTheServerIsSplit()
    {
        test::SmtpScriptServer server;
        QVERIFY(server.start({QJsonObject{{"ehlo", QJsonArray{"SIZE 20000"}}}}));
        Rig rig;
        rig.pointAt(server.port());
        rig.settings.AccountSettings.RetryHours = 24;
        rig.settings.AccountSettings.DigestSeconds = 30;
        for (int i = 1; i <= 20; ++i)
            rig.queue.store(entry(QStringLiteral("alarm %1").arg(i, 2, 10, QLatin1Char('0')), QString(1000, u'x'), Ops));
        QVERIFY(rig.runPass());
        QVERIFY(rig.runPass());
        QCOMPARE(rig.logged("Deferred:20 alarms: alarm 01 (+19 more) is larger than the server takes").size(), 1);
        QCOMPARE(rig.queue.emailQueue().pendingCount(), 0);
        QTRY_VERIFY(server.lines("MESSAGE ").size() > 1);
        const QStringList body = server.lines("BODY ");
        for (int i = 1; i <= 20; ++i)
            QCOMPARE(body.filter(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  alarm %1$").arg(i, 2, 10, QLatin1Char('0')))).size(), 1);
        QCOMPARE(rig.logged("Deferred:").size(), 1);
    }
};

QTEST_GUILESS_MAIN(DigestDispatchTest)
#include "tst_digest_dispatch.moc"
