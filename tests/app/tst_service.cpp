// Start-up and close of the service without a window.

#include "ServiceRig.h"

#include "app/Service.h"
#include "dispatch/Dispatcher.h"
#include "mail/MailComponent.h"
#include "intake/CommandEndpoint.h"
#include "intake/NotificationQueue.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

using namespace corvane;
using test::ServiceRig;

class ServiceTest : public QObject {
    Q_OBJECT

private slots:
    void startsWithoutSettingsFile()
    {
        ServiceRig rig;
        QString error;
        QVERIFY2(rig.start(&error), qPrintable(error));
        Service &service = rig.service();

        const QString ini = QDir(rig.folder()).filePath(QStringLiteral("Corvane.ini"));
        QCOMPARE(service.settings().SettingsFilePath, ini);
        QVERIFY(!QFile::exists(ini)); // loading creates nothing
        // Defaults of a missing file: MIME on, normal priority, no server.
        QCOMPARE(service.settings().AccountSettings.UseMime, true);
        QCOMPARE(int(service.settings().AccountSettings.Priority), 0);
        QVERIFY(service.settings().AccountSettings.SmtpServer.isEmpty());

        QCOMPARE(rig.logMessages(), QStringList({QStringLiteral("Program Started")}));
        QVERIFY(QFile::exists(QDir(rig.folder()).filePath(QStringLiteral("Logs"))));
        QVERIFY(service.isStarted());
        QVERIFY(service.mailComponent() && service.queue() && service.endpoint());
        QVERIFY(service.endpoint()->listenPort() != 0);
        QCOMPARE(service.mailComponent()->objectName(), QStringLiteral("poSendMail"));
        QCOMPARE(service.endpoint()->objectName(), QStringLiteral("wsRC"));
        QCOMPARE(service.queue()->emailQueue().upperBound(), 100);
        QCOMPARE(service.queue()->emailQueue().pendingCount(), 0);
    }

    void loadsTheSettingsFileBesideTheExecutable()
    {
        ServiceRig rig;
        QFile ini(QDir(rig.folder()).filePath(QStringLiteral("Corvane.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Email_List_2]\r\nName=Night shift\r\nAddress_3=night@example.com\r\n"
                  "[Email_Settings]\r\nSMPT_Server=mail.example.com:2525\r\nSender_Email=alarm@example.com\r\n"
                  "MIME=0\r\nPriority=2\r\n");
        ini.close();

        QString error;
        QVERIFY2(rig.start(&error), qPrintable(error));
        const Settings &settings = rig.service().settings();
        QCOMPARE(settings.RecipientLists[2].Name, QStringLiteral("Night shift"));
        QCOMPARE(settings.RecipientLists[2].Addresses[3], QStringLiteral("night@example.com"));
        QCOMPARE(settings.AccountSettings.SmtpServer, QStringLiteral("mail.example.com:2525"));
        QCOMPARE(settings.AccountSettings.SenderEmail, QStringLiteral("alarm@example.com"));
        QCOMPARE(settings.AccountSettings.UseMime, false);
        QCOMPARE(int(settings.AccountSettings.Priority), 2);
        QCOMPARE(rig.logMessages(), QStringList({QStringLiteral("Program Started")}));
    }

    void takenPortFailsWithItsReason()
    {
        ServiceRig rig;
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::DontShareAddress));
        rig.options().listenPort = holder.localPort();

        QString error;
        QVERIFY(!rig.start(&error));
        QVERIFY2(error.contains(QString::number(rig.options().listenPort)), qPrintable(error));
        QVERIFY2(error.size() > 30, qPrintable(error)); // says why, not just that
        QVERIFY(rig.logMessages().isEmpty());
        QVERIFY(!rig.service().isStarted());
        QVERIFY(rig.service().endpoint() == nullptr);
        // The steps after the port did not run.
        QVERIFY(rig.service().settings().SettingsFilePath.isEmpty());
        QVERIFY(!rig.service().clockTimer().isActive());
        QVERIFY(!rig.service().emailTimer().isActive());
    }

    void closeCancelsARunningSendWithinItsBound()
    {
        // A mail server that accepts and then never answers.
        test::SilentServer silent;
        QVERIFY(silent.listen());

        ServiceRig rig(std::chrono::milliseconds(50));
        rig.options().cancelWait = std::chrono::milliseconds(1500);
        QString error;
        QVERIFY2(rig.start(&error), qPrintable(error));
        Service &service = rig.service();
        service.settings().AccountSettings.SmtpServer =
            QStringLiteral("127.0.0.1:%1").arg(silent.port());
        service.settings().AccountSettings.SenderEmail = QStringLiteral("corvane@example.com");
        service.settings().RecipientLists[1].Addresses[1] = QStringLiteral("ops@example.com");
        QCOMPARE(service.queue()->QueueEmail(1, QStringLiteral("stuck"), QStringLiteral("t")),
                 QueueResult::Queued);
        QCOMPARE(service.queue()->QueueEmail(1, QStringLiteral("behind"), QStringLiteral("t")),
                 QueueResult::Queued);
        QTRY_VERIFY_WITH_TIMEOUT(service.mailComponent()->isSending(), 5000);

        QSignalSpy stopped(&service, &Service::stopped);
        QElapsedTimer clock;
        clock.start();
        service.requestClose();
        QVERIFY(stopped.wait(5000));
        QVERIFY2(clock.elapsed() < 2500, QByteArray::number(clock.elapsed()).constData());
        QCOMPARE(stopped.count(), 1);
        // Stopped because the send really ended, not because the wait ran out.
        QVERIFY(!service.mailComponent()->isSending());
        QVERIFY(!service.dispatcher()->isPassRunning());

        // The message behind the cancelled one is not started on the way out,
        // not even by a tick that was already on its way.
        QVERIFY(!rig.service().emailTimer().isActive());
        service.dispatcher()->onTick();
        QCoreApplication::processEvents();
        const QStringList log = rig.logMessages();
        QCOMPARE(log.count(QStringLiteral("Send email:stuck")), 1);
        QCOMPARE(log.count(QStringLiteral("Send email:behind")), 0);
        QCOMPARE(log.count(QStringLiteral("Program Closed")), 1);
        QVERIFY(log.indexOf(QStringLiteral("Program Closed")) > log.indexOf(QStringLiteral("Send email:stuck")));
        // What the send reported before the close is in the log too.
        QVERIFY2(log.contains(QStringLiteral("Status:Connecting to 127.0.0.1:%1").arg(silent.port())),
                 qPrintable(log.join(QLatin1Char('\n'))));
    }

    void closeRequestsAfterTheFirstChangeNothing()
    {
        ServiceRig rig;
        QVERIFY(rig.start());
        QSignalSpy stopped(&rig.service(), &Service::stopped);
        rig.service().exitWithoutLog();
        rig.service().requestClose();
        rig.service().exitWithoutLog();
        QVERIFY(stopped.wait(2000));
        QCoreApplication::processEvents(); // a second stop would have been queued by now
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(rig.countLogged(QStringLiteral("Program Closed")), 0);

        // No pass runs after the stop, even if a message slips in.
        rig.service().settings().RecipientLists[1].Addresses[1] = QStringLiteral("ops@example.com");
        rig.service().queue()->QueueEmail(1, QStringLiteral("late"), QStringLiteral("t"));
        rig.service().dispatcher()->onTick();
        QCOMPARE(rig.countLogged(QStringLiteral("Send email:late")), 0);
    }

    void pendingMessagesOutliveExitAndCloseAndComeBackInOrder_data()
    {
        QTest::addColumn<bool>("withLogLine");
        QTest::newRow("Exit") << false;
        QTest::newRow("close") << true;
    }

    void pendingMessagesOutliveExitAndCloseAndComeBackInOrder()
    {
        QFETCH(bool, withLogLine);
        ServiceRig rig;
        QFile ini(QDir(rig.folder()).filePath(QStringLiteral("Corvane.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Email_List_1]\r\nName=Plant\r\nAddress_1=ops@example.com\r\n");
        ini.close();
        QVERIFY(rig.start());
        rig.service().emailTimer().stop(); // nothing leaves the queue
        NotificationQueue &queue = *rig.service().queue();
        for (const char *subject : {"Boiler", "Pump", "Tank"})
            QCOMPARE(queue.QueueEmail(1, QString::fromLatin1(subject), QStringLiteral("alarm")), QueueResult::Queued);
        queue.release(1);
        QSignalSpy stopped(&rig.service(), &Service::stopped);
        if (withLogLine)
            rig.service().requestClose();
        else
            rig.service().exitWithoutLog();
        QVERIFY(stopped.wait(2000));

        ServiceOptions again = rig.options();
        again.listenPort = test::freeUdpPort();
        Service next(again);
        const Result nextStarted = next.start();
        QVERIFY2(nextStarted.ok, qPrintable(nextStarted.error));
        QVERIFY(next.queue()->emailQueue().isPending(0));
        QCOMPARE(next.queue()->emailQueue().at(0).Subject, QStringLiteral("Boiler"));
        QCOMPARE(next.queue()->emailQueue().at(1).Subject, QStringLiteral("Tank"));
        QCOMPARE(next.queue()->emailQueue().at(1).Recipients, QStringLiteral("ops@example.com"));
        QCOMPARE(next.queue()->emailQueue().pendingCount(), 2);
        // Restored after the start is logged, with its count, once.
        const QStringList log = rig.logMessages();
        const qsizetype started = log.lastIndexOf(QStringLiteral("Program Started"));
        QVERIFY(started > 0);
        QCOMPARE(log.mid(started + 1), QStringList{QStringLiteral("Restored 2 queued messages from the spool")});
    }
};

QTEST_GUILESS_MAIN(ServiceTest)
#include "tst_service.moc"
