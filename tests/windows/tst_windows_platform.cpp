// The Windows side of the platform files: access lists set as files are
// made, MoveFileEx replacement, appending, the ANSI code page, console
// control events as close requests, and a command port no one can share.

#include "app/ConsoleControlWatcher.h"
#include "intake/CommandEndpoint.h"
#include "intake/IntakeTestSupport.h"
#include "support/TestSupport.h"
#include "storage/FileSystem.h"
#include "storage/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <atomic>
#include <chrono>
#include <thread>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

using namespace corvane;

namespace {

// The access list of a file or folder in SDDL, e.g. "D:P(A;;FA;;;SY)...".
QString accessList(const QString &path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    wchar_t *text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                         &text, nullptr);
    const QString sddl = text ? QString::fromWCharArray(text) : QString();
    LocalFree(text);
    LocalFree(descriptor);
    return sddl;
}

// The trustees of an SDDL access list: "SY", "BA", "S-1-5-21-...".
QStringList trustees(const QString &sddl)
{
    QStringList result;
    for (const QString &ace : sddl.split(QLatin1Char('('), Qt::SkipEmptyParts).mid(1))
        result << ace.section(QLatin1Char(';'), 5, 5).remove(QLatin1Char(')'));
    result.sort();
    return result;
}

} // namespace

class WindowsPlatformTest : public QObject, private test::IntakeChain {
    Q_OBJECT

private slots:
    void privateFilesAreForSystemAdministratorsAndUs_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("settings file, new") << QStringLiteral("new");
        QTest::newRow("journal rewritten over a shared file") << QStringLiteral("replaced");
        QTest::newRow("spool folder") << QStringLiteral("folder");
        QTest::newRow("file made in the spool folder") << QStringLiteral("inside");
    }
    void privateFilesAreForSystemAdministratorsAndUs()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("Spool"));
        QString path = dir.filePath(QStringLiteral("Corvane.ini"));
        if (kind == QLatin1String("new")) {
            QVERIFY(fs::replaceFile(path, "[S]\r\n", fs::Permissions::KeepOrOwnerOnly));
        } else if (kind == QLatin1String("replaced")) {
            QFile shared(path);
            QVERIFY(shared.open(QIODevice::WriteOnly));
            shared.close();
            QVERIFY(fs::replaceFile(path, "journal", fs::Permissions::OwnerOnly));
        } else {
            QVERIFY(fs::createPrivateFolder(folder));
            path = folder;
            if (kind == QLatin1String("inside")) {
                path = QDir(folder).filePath(QStringLiteral("queue.journal"));
                QFile made(path);
                QVERIFY(made.open(QIODevice::WriteOnly));
            }
        }
        const QString sddl = accessList(path);
        const QStringList who = trustees(sddl);
        if (kind == QLatin1String("inside") && who.contains(QLatin1String("WD")))
            QSKIP("Wine does not hand a folder's access list on to the files made in it.");
        // SYSTEM and the account we run as (and the Administrators, which Wine
        // leaves out), nobody else.
        QVERIFY2(who.contains(QLatin1String("SY")) && who.filter(QLatin1String("S-1-")).size() == 1, qPrintable(sddl));
        for (const QString &trustee : who)
            QVERIFY2(trustee == QLatin1String("SY") || trustee == QLatin1String("BA") || trustee.startsWith("S-1-"),
                     qPrintable(sddl));
    }

    void replacementKeepsAnExistingSettingsFilesList()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Corvane.ini"));
        QVERIFY(fs::replaceFile(path, "old", fs::Permissions::OwnerOnly));
        // An administrator gave the service account (LocalService) access.
        const QString granted = QStringLiteral("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;LS)");
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QVERIFY(ConvertStringSecurityDescriptorToSecurityDescriptorW(
            reinterpret_cast<const wchar_t *>(granted.utf16()), SDDL_REVISION_1, &descriptor, nullptr));
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        std::wstring name = QDir::toNativeSeparators(path).toStdWString();
        QCOMPARE(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, dacl, nullptr),
                 DWORD(ERROR_SUCCESS));
        LocalFree(descriptor);
        if (!trustees(accessList(path)).contains(QLatin1String("LS")))
            QSKIP("Wine keeps only what Unix permission bits can say of an access list.");

        QVERIFY(fs::replaceFile(path, "new", fs::Permissions::KeepOrOwnerOnly));
        QCOMPARE(trustees(accessList(path)), (QStringList{"BA", "LS", "SY"}));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("new"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"Corvane.ini"}); // no temporary left
    }

    void appendingGoesToTheEndAndNoticesADeletion()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("log.TXT"));
        AppendFile log;
        QVERIFY(!log.open(dir.filePath(QStringLiteral("absent/log.TXT")), true));
        QVERIFY(log.folderMissing());
        QVERIFY(log.open(path, true));
        QCOMPARE(log.write("one\r\n", 5), std::int64_t(5));
        QFile other(path); // another writer, and a reader, while we hold it open
        QVERIFY(other.open(QIODevice::Append));
        other.write("two\r\n");
        other.close();
        QCOMPARE(log.write("three\r\n", 7), std::int64_t(7));
        QVERIFY(log.syncData());
        QFile reader(path);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        QCOMPARE(reader.readAll(), QByteArray("one\r\ntwo\r\nthree\r\n"));
        reader.close();
        QVERIFY(log.stillLinked());
        QVERIFY(QFile::remove(path)); // deleting is not refused while we hold it
        if (log.stillLinked() && QFile::exists(path))
            QSKIP("Wine keeps a deleted file's name until it is closed and reports no deletion pending.");
        QVERIFY(!log.stillLinked());
        QVERIFY(log.open(path, true)); // and the name is free for the next entry's file
    }

    void textIsInTheAnsiCodePage()
    {
        // Wine takes the ANSI code page from the locale: 1252 for en_US.
        QCOMPARE(GetACP(), UINT(1252));
        QVERIFY(!systemWritesUtf8());
        bool ok = false;
        QCOMPARE(encodeSystemCodePage(QStringLiteral("gestört €"), &ok), QByteArray("gest\xF6rt \x80"));
        QVERIFY(ok);
        encodeSystemCodePage(QStringLiteral("Ω"), &ok);
        QVERIFY(!ok);
        QCOMPARE(decodeSystemCodePage("gest\xF6rt \x80"), QStringLiteral("gestört €"));
        QVERIFY(!readsAsUtf8("plain ASCII")); // new text in it goes in the code page
        QVERIFY(readsAsUtf8("gest\xC3\xB6rt"));
    }

    void consoleEventsBecomeCloseRequests_data()
    {
        QTest::addColumn<int>("event");
        QTest::newRow("Ctrl+C") << int(CTRL_C_EVENT);
        QTest::newRow("Ctrl+Break") << int(CTRL_BREAK_EVENT);
        QTest::newRow("console closed") << int(CTRL_CLOSE_EVENT);
        QTest::newRow("logoff") << int(CTRL_LOGOFF_EVENT);
        QTest::newRow("shutdown") << int(CTRL_SHUTDOWN_EVENT);
    }
    void consoleEventsBecomeCloseRequests()
    {
        QFETCH(int, event);
        ConsoleControlWatcher watcher;
        QVERIFY(watcher.isActive());
        QVERIFY(!ConsoleControlWatcher().isActive()); // one owns the handler
        std::atomic<bool> handled{false};
        QSignalSpy requested(&watcher, &CloseRequestWatcher::closeRequested);
        connect(&watcher, &CloseRequestWatcher::closeRequested, this, [&] { handled = true; });
        std::atomic<bool> returned{false};
        std::atomic<bool> handledBeforeReturn{false};
        // As Windows does: on a thread of its own.
        std::thread system([&] {
            watcher.deliver(static_cast<unsigned long>(event));
            handledBeforeReturn = handled.load();
            returned = true;
        });
        const bool ends = event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT;
        if (!ends) {
            // Ctrl+C and Ctrl+Break return at once, without this thread
            // running its events (waiting here would block them forever).
            for (int i = 0; i < 5000 && !returned.load(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            QVERIFY(returned.load());
            QVERIFY(!handledBeforeReturn.load());
        }
        QTRY_VERIFY_WITH_TIMEOUT(returned.load(), 5000);
        system.join();
        QTRY_COMPARE_WITH_TIMEOUT(requested.count(), 1, 3000);
        QCOMPARE(requested.at(0).at(0).toInt(), event);
        // After a close, logoff or shutdown event Windows ends the process:
        // the request has been handled by then.
        QCOMPARE(handledBeforeReturn.load(), ends);
    }

    void nobodyElseCanBindTheCommandPort()
    {
        buildChain();
        CommandEndpoint endpoint(*m_handler, test::freeUdpPort(), test::freeUdpPort());
        QVERIFY(endpoint.start());
        // SO_REUSEADDR would let a second socket share the port on Windows.
        QUdpSocket intruder;
        QVERIFY(!intruder.bind(QHostAddress::AnyIPv4, endpoint.listenPort(),
                               QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
        QVERIFY(!intruder.bind(QHostAddress::LocalHost, endpoint.listenPort()));
    }
};

QTEST_GUILESS_MAIN(WindowsPlatformTest)
#include "tst_windows_platform.moc"
