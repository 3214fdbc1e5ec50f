// The real program, started as a service manager would start it: from its own
// folder, without a display, and stopped by a signal. It binds the fixed ports,
// so each run gets a private network namespace (root only).

#include "ServiceRig.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/stat.h>

using namespace corvane;

namespace {

QStringList logMessages(const QString &folder)
{
    return test::logMessagesIn(QDir(folder).filePath(QStringLiteral("Logs")));
}

// A copy of the program in a folder of its own, as an installation would have it.
struct Installation {
    QTemporaryDir dir;
    QString executable = QDir(dir.path()).filePath(QStringLiteral("corvane"));

    bool install()
    {
        return QFile::copy(QDir(test::binDir()).filePath(QStringLiteral("corvane")), executable)
            && QFile::setPermissions(executable, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QProcessEnvironment headlessEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

} // namespace

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QProcess probe;
        probe.start(QStringLiteral("unshare"), {QStringLiteral("-n"), QStringLiteral("true")});
        if (!probe.waitForFinished(5000) || probe.exitCode() != 0)
            QSKIP("Needs root and permission to create a network namespace (unshare -n).");
        if (!QFile::exists(QDir(test::binDir()).filePath(QStringLiteral("corvane"))))
            QFAIL("build/bin/corvane is missing");
    }

    void runsHeadlessAndClosesOnSignal_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void runsHeadlessAndClosesOnSignal()
    {
        QFETCH(int, signalNumber);
        Installation corvane;
        QVERIFY(corvane.install());

        QProcess process;
        process.setProcessEnvironment(headlessEnvironment());
        // sh and then the program replace each other, so the pid is the program's.
        process.start(QStringLiteral("unshare"),
                      {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("ip link set lo up && exec \"$0\""), corvane.executable});
        QVERIFY(process.waitForStarted(5000));
        QTRY_VERIFY2_WITH_TIMEOUT(logMessages(corvane.dir.path()).contains(QStringLiteral("Program Started")),
                                  process.readAllStandardError().constData(), 15000);

        QCOMPARE(::kill(static_cast<pid_t>(process.processId()), signalNumber), 0);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(logMessages(corvane.dir.path()),
                 QStringList({QStringLiteral("Program Started"), QStringLiteral("Program Closed")}));
    }

    void unreadableSettingsFileLeavesOneLineOnStderr_data()
    {
        QTest::addColumn<bool>("fifo");
        QTest::newRow("FIFO") << true;
        QTest::newRow("over the size bound") << false;
    }
    void unreadableSettingsFileLeavesOneLineOnStderr()
    {
        // The program starts on defaults at once, says why on stderr, and its
        // log reads as for any other start.
        QFETCH(bool, fifo);
        Installation corvane;
        QVERIFY(corvane.install());
        const QString ini = QDir(corvane.dir.path()).filePath(QStringLiteral("Corvane.ini"));
        if (fifo) {
            QCOMPARE(::mkfifo(QFile::encodeName(ini).constData(), 0600), 0);
        } else {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write("[Email_Settings]\r\n") > 0);
            QVERIFY(file.resize(8 * 1024 * 1024));
        }

        QProcess process;
        process.setProcessEnvironment(headlessEnvironment());
        process.start(QStringLiteral("unshare"),
                      {QStringLiteral("-n"), QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("ip link set lo up && exec \"$0\""), corvane.executable});
        QVERIFY(process.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(logMessages(corvane.dir.path()).contains(QStringLiteral("Program Started")), 15000);
        QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGTERM), 0);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);

        // Qt may add lines of its own (no runtime folder, no window system).
        const QByteArray err = process.readAllStandardError();
        QList<QByteArray> aboutTheFile;
        for (const QByteArray &line : err.split('\n'))
            if (line.contains(QFile::encodeName(ini)))
                aboutTheFile << line;
        QVERIFY2(aboutTheFile.size() == 1, err.constData());
        QVERIFY2(aboutTheFile.first().startsWith("corvane: "), err.constData());
        QCOMPARE(logMessages(corvane.dir.path()),
                 QStringList({QStringLiteral("Program Started"), QStringLiteral("Program Closed")}));
    }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "tst_program.moc"
