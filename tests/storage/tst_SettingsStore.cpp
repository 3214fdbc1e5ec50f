#include "storage/IniFile.h"
#include "storage/SettingsStore.h"
#include "storage/StorageTestUtil.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>


using namespace corvane;
using namespace corvane::test;

Q_DECLARE_METATYPE(OAuthSettingsRecord)

namespace {

// The settings file as the Windows program and the people at the plant left it:
// CR LF, Windows-1252, comments, other letter case, blanks and quotes.
const QByteArray kWindowsFile = "; Corvane settings, edited at the plant\r\n"
                                "[Email_List_1]\r\n"
                                "name = Wartung \xC4rger\r\n"
                                "ADDRESS_1=\"wartung@example.com\"\r\n"
                                "Address_2 =  'schicht@example.com' \r\n"
                                "; slot 3 stays free until the new shift lead starts\r\n"
                                "address_4=  leiter@example.com  \r\n"
                                "\r\n"
                                "[EMAIL_LIST_2]\r\n"
                                "Name=  Pumpen  \r\n"
                                "\r\n"
                                "[email_settings]\r\n"
                                "smpt_server = mail.example.com\r\n"
                                "Sender_Name=\"Leitstand S\xFC" "d\"\r\n"
                                "User_Name=alarm\r\n"
                                "User_Password = geheim\x80 \r\n"
                                "MIME=0\r\n"
                                "UUEncode=1\r\n"
                                "Priority= 1 \r\n"
                                "HTML=01\r\n"
                                "Login=1.0\r\n"
                                "Modem_Port=COM2\r\n"
                                "\r\n"
                                "[Plant]\r\n"
                                "Line=3 ; hall B\r\n"
                                "[Email_List_1]\r\n"
                                "Name=second section of the same name\r\n";

bool isOwnedKey(const QByteArray &line)
{
    const QByteArray key = line.left(line.indexOf('=')).trimmed().toLower();
    static const QList<QByteArray> owned = {"name", "smpt_server", "pop3_server", "sender_name",
                                            "sender_email", "user_name", "user_password", "mime",
                                            "uuencode", "priority", "html", "receipt", "login",
                                            "pop_login"};
    return line.contains('=') && (owned.contains(key) || key.startsWith("address_"));
}

} // namespace

class SettingsStoreTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    Settings m_settings;
    QString iniPath() const { return m_settings.SettingsFilePath; }

    // Loads a file holding one "Email_Settings" line.
    AccountSettingsRecord loadAccountLine(const QByteArray &line)
    {
        writeBytes(iniPath(), "[Email_Settings]\n" + line + "\n");
        Settings loaded;
        loaded.SettingsFilePath = iniPath();
        if (const Result result = LoadAllSettings(loaded); !result)
            qWarning("%s", qPrintable(result.error));
        return loaded.AccountSettings;
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_settings = Settings();
        m_settings.SettingsFilePath = m_tmp->filePath(QStringLiteral("Corvane.ini"));
    }

    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("expected");
        QTest::newRow("integer") << "42" << 42.0;
        QTest::newRow("blanks, tabs and LF anywhere") << " 1\t2\n3 " << 123.0;
        QTest::newRow("CR stops the number") << "1\r2" << 1.0;
        QTest::newRow("signs") << "-7" << -7.0;
        QTest::newRow("plus") << "+1" << 1.0;
        QTest::newRow("sign apart from digits") << "- 2.5" << -2.5;
        QTest::newRow("decimals") << "2.75" << 2.75;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("second point ends it") << "1.2.3" << 1.2;
        QTest::newRow("E exponent") << "1.5E2" << 150.0;
        QTest::newRow("D exponent, lower case") << "25d-1" << 2.5;
        QTest::newRow("exponent without digits ignored") << "3e" << 3.0;
        QTest::newRow("exponent sign without digits ignored") << "3E+x" << 3.0;
        QTest::newRow("trailing letters") << "1x" << 1.0;
        QTest::newRow("hexadecimal") << "&HfF" << 255.0;
        QTest::newRow("hexadecimal with blanks") << "& h 1 0" << 16.0;
        QTest::newRow("octal") << "&o17" << 15.0;
        QTest::newRow("octal stops at 8") << "&O78" << 7.0;
        QTest::newRow("ampersand alone") << "&" << 0.0;
        QTest::newRow("ampersand, other letter") << "&B101" << 0.0;
        QTest::newRow("word") << "true" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("sign alone") << "-" << 0.0;
        QTest::newRow("point alone") << "." << 0.0;
        QTest::newRow("double sign") << "+-1" << 0.0;
        QTest::newRow("non-ASCII digit stops") << "1\u0663" << 1.0;
        QTest::newRow("underflow is zero") << "1e-999" << 0.0;
        QTest::newRow("many leading zeros") << QString(400, QLatin1Char('0')) + "1" << 1.0;
    }
    void leadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, expected);
        QCOMPARE(LeadingNumber(text), expected);
    }

    void leadingNumberBeyondDoubleRange()
    {
        QCOMPARE(LeadingNumber("1e999"), std::numeric_limits<double>::infinity());
        QCOMPARE(LeadingNumber("-1D400"), -std::numeric_limits<double>::infinity());
        QVERIFY(!std::isfinite(LeadingNumber("&H" + QString(300, QLatin1Char('F')))));
    }

    void noFileGivesDefaultsAndCreatesNothing()
    {
        m_settings.AccountSettings.UseHtml = true; // whatever was there is replaced
        m_settings.RecipientLists[3].Addresses[5] = "stale@example.com";
        QVERIFY(LoadAllSettings(m_settings));
        const AccountSettingsRecord &a = m_settings.AccountSettings;
        QCOMPARE(a.SenderName, QStringLiteral("Halvery ALARM"));
        for (const QString *text : {&a.SmtpServer, &a.Pop3Server, &a.SenderEmail, &a.UserName, &a.UserPassword})
            QVERIFY(text->isEmpty());
        QVERIFY(a.UseMime);
        QVERIFY(!a.UseUUEncode && !a.UseHtml && !a.RequestReceipt && !a.UseLogin && !a.UsePopLogin);
        QCOMPARE(a.Priority, std::uint8_t(0));
        for (int n = 1; n <= 8; ++n) {
            QVERIFY(m_settings.RecipientLists[n].Name.isEmpty());
            for (int k = 1; k <= 16; ++k)
                QVERIFY(m_settings.RecipientLists[n].Addresses[static_cast<std::size_t>(k)].isEmpty());
        }
        QVERIFY(folderEntries(m_tmp->path()).isEmpty());
    }

    void flagRule_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("expected");
        for (const char *truthy : {"1", "01", "1.0", "+1", "1x", "  1  ", " 1x ", "1e0", "&H1", "\"1\""})
            QTest::newRow(truthy) << QByteArray(truthy) << true;
        for (const char *falsy : {"-1", "2", "0", "true", "", "x1", "0.9", "1e999", "-"})
            QTest::newRow(*falsy ? falsy : "empty") << QByteArray(falsy) << false;
    }
    void flagRule()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, expected);
        QCOMPARE(loadAccountLine("HTML=" + stored).UseHtml, expected);
        QCOMPARE(loadAccountLine("pop_login=" + stored).UsePopLogin, expected);
    }

    void mimeDefaultsOnlyWhenMissing()
    {
        QVERIFY(loadAccountLine("Other=1").UseMime);
        QVERIFY(!loadAccountLine("MIME=").UseMime);
        QVERIFY(!loadAccountLine("MIME=-1").UseMime);
    }

    void numberRule_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("2") << QByteArray("2") << 2;
        QTest::newRow("1.5 rounds to even") << QByteArray("1.5") << 2;
        QTest::newRow("2.5 rounds to even") << QByteArray("2.5") << 2;
        QTest::newRow("0.5 rounds to even") << QByteArray("0.5") << 0;
        QTest::newRow("2.51 rounds up") << QByteArray("2.51") << 3;
        QTest::newRow("blanks kept by the reader") << QByteArray(" 1 ") << 1;
        QTest::newRow("letters") << QByteArray("high") << 0;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("negative") << QByteArray("-1") << 0;
        QTest::newRow("-0.5 is zero") << QByteArray("-0.5") << 0;
        QTest::newRow("255 fits") << QByteArray("255") << 255;
        QTest::newRow("255.5 does not") << QByteArray("255.5") << 0;
        QTest::newRow("300") << QByteArray("300") << 0;
        QTest::newRow("1e9") << QByteArray("1e9") << 0;
        QTest::newRow("beyond double range") << QByteArray("1e999") << 0;
        QTest::newRow("hexadecimal") << QByteArray("&H2") << 2;
        QTest::newRow("D exponent") << QByteArray("1D0") << 1;
    }
    void numberRule()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, expected);
        QCOMPARE(int(loadAccountLine("Priority=" + stored).Priority), expected);
    }

    void textsAreTrimmedOfSpacesOnly()
    {
        writeBytes(iniPath(), "[Email_List_1]\nName=\"  Spaced  \"\nAddress_16=\"\ttabbed\t\"\n"
                              "[Email_Settings]\nUser_Password=\"  pw with spaces  \"\n");
        QVERIFY(LoadAllSettings(m_settings));
        QCOMPARE(m_settings.RecipientLists[1].Name, QStringLiteral("Spaced"));
        QCOMPARE(m_settings.RecipientLists[1].Addresses[16], QStringLiteral("\ttabbed\t"));
        QCOMPARE(m_settings.AccountSettings.UserPassword, QStringLiteral("pw with spaces"));
    }

    void windowsFileLoads()
    {
        writeBytes(iniPath(), kWindowsFile);
        QVERIFY(LoadAllSettings(m_settings));
        const RecipientListTable &lists = m_settings.RecipientLists;
        QCOMPARE(lists[1].Name, QStringLiteral("Wartung \u00C4rger"));
        QCOMPARE(lists[1].Addresses[1], QStringLiteral("wartung@example.com"));
        QCOMPARE(lists[1].Addresses[2], QStringLiteral("schicht@example.com"));
        QVERIFY(lists[1].Addresses[3].isEmpty());
        QCOMPARE(lists[1].Addresses[4], QStringLiteral("leiter@example.com"));
        QCOMPARE(lists[2].Name, QStringLiteral("Pumpen"));
        const AccountSettingsRecord &a = m_settings.AccountSettings;
        QCOMPARE(a.SmtpServer, QStringLiteral("mail.example.com"));
        QCOMPARE(a.SenderName, QStringLiteral("Leitstand S\u00FCd"));
        QCOMPARE(a.UserName, QStringLiteral("alarm"));
        QCOMPARE(a.UserPassword, QStringLiteral("geheim\u20AC"));
        QVERIFY(!a.UseMime);
        QVERIFY(a.UseUUEncode);
        QCOMPARE(a.Priority, std::uint8_t(1));
        QVERIFY(a.UseHtml && a.UseLogin);
        QVERIFY(!a.RequestReceipt && !a.UsePopLogin);
    }

    void windowsFileSurvivesASave()
    {
        writeBytes(iniPath(), kWindowsFile);
        QVERIFY(LoadAllSettings(m_settings));
        const Settings loaded = m_settings;
        const SaveResult result = SaveAllSettings(m_settings);
        QVERIFY2(result.ok, qPrintable(result.error));

        const QByteArray saved = readBytes(iniPath());
        QVERIFY2(!saved.contains("\xC3"), "a file whose values fit stays Windows-1252");
        QCOMPARE(saved.count("\r\n"), saved.count('\n'));

        // Every line the program does not own is still there, byte for byte, in order.
        const QList<QByteArray> after = saved.split('\n');
        qsizetype at = 0;
        for (const QByteArray &line : kWindowsFile.split('\n')) {
            if (isOwnedKey(line) && !line.startsWith("Name=second"))
                continue;
            while (at < after.size() && after[at] != line)
                ++at;
            QVERIFY2(at < after.size(), line.constData());
        }
        // Owned lines are normalised where they stand; missing keys follow their section.
        QVERIFY(saved.contains("\r\nname = Wartung \xC4rger\r\n"));
        QVERIFY(saved.contains("\r\nHTML=1\r\nLogin=1\r\nModem_Port=COM2\r\nPOP3_Server=\r\n"));
        QVERIFY(saved.contains("\r\nADDRESS_1=wartung@example.com\r\nAddress_2 = schicht@example.com\r\n"));
        QVERIFY(saved.contains("address_4=leiter@example.com\r\nAddress_3=\r\nAddress_5=\r\n"));
        QVERIFY(saved.contains("\r\nName=Pumpen\r\n"));
        // Lists missing from the file follow as new sections at its end.
        QVERIFY(saved.contains("[Email_List_1]\r\nName=second section of the same name\r\n"
                               "\r\n[Email_List_3]\r\nName=\r\nAddress_1=\r\n"));

        Settings reloaded;
        reloaded.SettingsFilePath = iniPath();
        QVERIFY(LoadAllSettings(reloaded));
        QCOMPARE(reloaded.RecipientLists[1].Name, loaded.RecipientLists[1].Name);
        QCOMPARE(reloaded.AccountSettings.UserPassword, loaded.AccountSettings.UserPassword);
        QCOMPARE(reloaded.AccountSettings.SenderName, loaded.AccountSettings.SenderName);
        QCOMPARE(reloaded.AccountSettings.UseHtml, loaded.AccountSettings.UseHtml);
        QCOMPARE(reloaded.AccountSettings.Priority, loaded.AccountSettings.Priority);
    }

    void firstSaveWritesEveryKeyInOrder()
    {
        m_settings.RecipientLists[2].Name = "  Schicht  ";
        m_settings.RecipientLists[8].Addresses[16] = " last@example.com ";
        m_settings.AccountSettings.UseMime = true;
        m_settings.AccountSettings.UsePopLogin = true;
        m_settings.AccountSettings.Priority = 2;
        m_settings.AccountSettings.UserPassword = " secret ";
        const Settings before = m_settings;
        QVERIFY(SaveAllSettings(m_settings).ok);
        if (hasFileModes())
            QCOMPARE(fileMode(iniPath()), 0600);

        QStringList expected;
        for (int n = 1; n <= 8; ++n) {
            expected << QStringLiteral("[Email_List_%1]").arg(n) << "Name=";
            for (int k = 1; k <= 16; ++k)
                expected << QStringLiteral("Address_%1=").arg(k);
        }
        expected << "[Email_Settings]";
        for (const char *key : {"SMPT_Server", "POP3_Server", "Sender_Name", "Sender_Email", "User_Name",
                                "User_Password", "MIME", "UUEncode", "Priority", "HTML", "Receipt", "Login",
                                "POP_Login"})
            expected << QString::fromLatin1(key) + "=";
        QStringList written;
        for (const QString &line : QString::fromUtf8(readBytes(iniPath())).split('\n'))
            if (line.startsWith('[') || line.contains('='))
                written << (line.startsWith('[') ? line : line.left(line.indexOf('=') + 1));
        QCOMPARE(written, expected);
        QCOMPARE(written.filter("=").size(), 149);
        QCOMPARE(written.size(), 149 + 9);

        const QByteArray saved = readBytes(iniPath());
        QVERIFY(saved.contains("[Email_List_2]\nName=Schicht\n"));
        QVERIFY(saved.contains("\nAddress_16=last@example.com\n\n[Email_Settings]\n"));
        QVERIFY(saved.contains("\nUser_Password=secret\nMIME=1\nUUEncode=0\nPriority=2\n"));
        QVERIFY(saved.endsWith("\nPOP_Login=1\n"));
        QVERIFY(!saved.contains('\r'));
        // The caller's settings are written trimmed but left as they were.
        QCOMPARE(m_settings.RecipientLists[2].Name, before.RecipientLists[2].Name);
        QCOMPARE(m_settings.AccountSettings.UserPassword, QStringLiteral(" secret "));
    }

    void longTextSavedWholeAndReadBackCut()
    {
        const QString longServer = QString(260, QLatin1Char('s')) + ".example.com";
        m_settings.AccountSettings.SmtpServer = longServer;
        QVERIFY(SaveAllSettings(m_settings).ok);
        QVERIFY(readBytes(iniPath()).contains(longServer.toLatin1()));
        Settings reloaded;
        reloaded.SettingsFilePath = iniPath();
        QVERIFY(LoadAllSettings(reloaded));
        QCOMPARE(reloaded.AccountSettings.SmtpServer, longServer.left(IniFile::MaxReadLength));
    }

    void existingModeIsKept()
    {
        if (!hasFileModes())
            QSKIP("Windows keeps access lists instead of modes (tests/windows).");
        writeBytes(iniPath(), "[Email_Settings]\n");
        QVERIFY(QFile::setPermissions(iniPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(SaveAllSettings(m_settings).ok);
        QCOMPARE(fileMode(iniPath()), 0640);
    }

    void failedSaveIsReportedAndOldFileKept()
    {
        writeBytes(iniPath(), kWindowsFile);
        QVERIFY(LoadAllSettings(m_settings));
        m_settings.AccountSettings.SmtpServer = QString(8000, QLatin1Char('m'));
        SaveResult result;
        {
            const FileSizeLimit diskFull(2048); // smaller than the new file, larger than the old
            if (!diskFull.active())
                QSKIP("No file size limit for a process on Windows.");
            result = SaveAllSettings(m_settings);
        }
        QVERIFY(!result.ok);
        QVERIFY(!bool(result));
        QVERIFY2(result.error.contains(iniPath()), qPrintable(result.error));
        QCOMPARE(readBytes(iniPath()), kWindowsFile);
        QCOMPARE(folderEntries(m_tmp->path()), QStringList({"Corvane.ini"}));
        QCOMPARE(m_settings.AccountSettings.SmtpServer.size(), 8000);
    }

    void saveIntoReadOnlyFolderIsReported()
    {
        writeBytes(iniPath(), kWindowsFile);
        QVERIFY(LoadAllSettings(m_settings));
        m_settings.AccountSettings.UseHtml = false;
        ReadOnlyFolder readOnly;
        QString why;
        if (!readOnly.engage(m_tmp->path(), &why))
            QSKIP(qPrintable(why));
        const SaveResult result = SaveAllSettings(m_settings);
        QVERIFY(!result.ok);
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(readBytes(iniPath()), kWindowsFile);
    }

    void unusablePathsAreReported()
    {
        writeBytes(m_tmp->filePath("plain"), "a file, not a folder");
        m_settings.SettingsFilePath = m_tmp->filePath("plain/Corvane.ini");
        QVERIFY(!SaveAllSettings(m_settings).ok);
        m_settings.SettingsFilePath.clear();
        QVERIFY(!SaveAllSettings(m_settings).error.isEmpty());
        // An existing name that cannot be read is not replaced by defaults.
        m_settings.SettingsFilePath = m_tmp->filePath("Corvane.ini");
        const int socket = bindUnixSocket(m_settings.SettingsFilePath);
        if (socket < 0)
            QSKIP("Windows keeps no socket in the file system.");
        const SaveResult result = SaveAllSettings(m_settings);
        closeSocket(socket);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.startsWith("Cannot read"), qPrintable(result.error));
        QVERIFY(!QFileInfo(m_settings.SettingsFilePath).isFile());
    }

    // [Email_OAuth] is read whole and written back; a file without it stays without it.
    void oauthSection_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<OAuthSettingsRecord>("applied"); // no Provider: as loaded
        QTest::addColumn<QByteArray>("sectionAfter"); // empty: no section in the saved file

        const QByteArray account = "[Email_Settings]\nLogin=1\n";
        QTest::newRow("absent stays absent") << account << OAuthSettingsRecord() << QByteArray();
        QTest::newRow("new section holds only what is set")
            << account
            << OAuthSettingsRecord{"Microsoft", "contoso.onmicrosoft.com", "c1d2", " s3cr~et= ", {}, {}, {}, {}, {}, {}, {}}
            << QByteArray("[Email_OAuth]\nProvider=Microsoft\nTenant=contoso.onmicrosoft.com\nClient_Id=c1d2\n"
                          "Client_Secret=s3cr~et=\n");
        const QByteArray handWritten = "[email_oauth]\nprovider=Google\nService_Account_File=/etc/corvane/sa.json\n"
                                       "Refresh_Token=1//0g" + QByteArray(300, 'R') + "\nScope=\n";
        QTest::newRow("hand-written section kept, long token whole")
            << account + handWritten << OAuthSettingsRecord() << handWritten;
        QTest::newRow("cleared key stays, empty")
            << account + "[Email_OAuth]\nProvider=Custom\nClient_Secret=old\n"
            << OAuthSettingsRecord{"Custom", {}, {}, {}, {}, {}, {}, {}, "https://idp.example.com/token", {}, {}}
            << QByteArray("[Email_OAuth]\nProvider=Custom\nClient_Secret=\nToken_Url=https://idp.example.com/token\n");
    }

    void oauthSection()
    {
        QFETCH(QByteArray, before);
        QFETCH(OAuthSettingsRecord, applied);
        QFETCH(QByteArray, sectionAfter);
        writeBytes(iniPath(), before);
        QVERIFY(LoadAllSettings(m_settings));
        if (!applied.Provider.isEmpty())
            m_settings.OAuth = applied;
        QVERIFY(SaveAllSettings(m_settings).ok);

        const QByteArray saved = readBytes(iniPath());
        const qsizetype at = saved.toLower().indexOf("[email_oauth]");
        const QByteArray section = at < 0 ? QByteArray() : saved.mid(at, saved.indexOf("\n[", at) + 1 - at);
        QCOMPARE(section.trimmed(), sectionAfter.trimmed());
    }

    void unreadableFileGivesDefaultsAndRefusesSaves()
    {
        // The failure is reported, the defaults stand in, and nothing the
        // unreadable file may hold is overwritten by them.
        if (!makeFifo(iniPath()))
            QSKIP("Windows has no FIFOs in the file system.");
        m_settings.AccountSettings.SenderName = QStringLiteral("left over");
        const Result loaded = LoadAllSettings(m_settings);
        QVERIFY(!loaded);
        QVERIFY2(loaded.error.contains(iniPath()), qPrintable(loaded.error));
        QCOMPARE(m_settings.AccountSettings.SenderName, QStringLiteral("Halvery ALARM"));
        QVERIFY(!SaveAllSettings(m_settings));
        QVERIFY(!QFileInfo(iniPath()).isFile());
    }
};

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_SettingsStore.moc"
