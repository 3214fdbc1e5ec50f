#include "storage/IniFile.h"
#include "storage/StorageTestUtil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>


using namespace corvane;
using namespace corvane::test;

class IniFileTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp; // a fresh folder for every test
    const QTemporaryDir &dir() const { return *m_tmp; }
    QString path(const QString &name = QStringLiteral("Corvane.ini")) const { return dir().filePath(name); }
    static IniFile loaded(const QString &file)
    {
        IniFile ini;
        const Result result = ini.load(file);
        if (!result)
            qWarning("%s", qPrintable(result.error));
        return ini;
    }

private slots:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
    }

    void readsWithProfileStringRules_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        const QByteArray file = "; Name=comment\n"
                                "Orphan=before any section\n"
                                "[Email_Settings]\n"
                                "  SMPT_Server  =  mail.example.com  \n"
                                "sender_name=\"  Quoted  \"\n"
                                "Single='x'\n"
                                "Mismatched='x\"\n"
                                "LoneQuote=\"\n"
                                "Empty=\n"
                                "Tabbed=\tvalue\t\n"
                                "Dup=first\n"
                                "DUP=second\n"
                                "Inner=a = b\n"
                                "NoEquals\n"
                                "[ Other ]\n"
                                "Dup=other\n"
                                "[email_settings]\n"
                                "Late=hidden by the first section\n";
        QTest::newRow("blanks around =") << file << "Email_Settings" << "SMPT_Server" << "mail.example.com";
        QTest::newRow("section and key in other case") << file << "EMAIL_settings" << "smpt_server"
                                                        << "mail.example.com";
        QTest::newRow("double quotes dropped, inner blanks kept") << file << "Email_Settings"
                                                                   << "Sender_Name" << "  Quoted  ";
        QTest::newRow("single quotes dropped") << file << "Email_Settings" << "Single" << "x";
        QTest::newRow("mismatched quotes kept") << file << "Email_Settings" << "Mismatched" << "'x\"";
        QTest::newRow("a lone quote is a value") << file << "Email_Settings" << "LoneQuote" << "\"";
        QTest::newRow("empty value is not the default") << file << "Email_Settings" << "Empty" << "";
        QTest::newRow("tabs count as blanks") << file << "Email_Settings" << "Tabbed" << "value";
        QTest::newRow("first key wins") << file << "Email_Settings" << "dup" << "first";
        QTest::newRow("only the first '=' splits") << file << "Email_Settings" << "Inner" << "a = b";
        QTest::newRow("section name blanks trimmed") << file << "Other" << "Dup" << "other";
        QTest::newRow("first section wins") << file << "Email_Settings" << "Late" << "<default>";
        QTest::newRow("keys before a section belong nowhere") << file << "" << "Orphan" << "<default>";
        QTest::newRow("comment is not a key") << file << "Email_Settings" << "; Name" << "<default>";
        QTest::newRow("line without '=' is not a key") << file << "Email_Settings" << "NoEquals"
                                                        << "<default>";
        QTest::newRow("missing section") << file << "Nowhere" << "Dup" << "<default>";
        QTest::newRow("non-ASCII letters match exactly only")
            << QByteArray("[\xC3\x84rger]\nk=1\n") << "\xC3\xA4rger" << "k" << "<default>";
    }
    void readsWithProfileStringRules()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const IniFile ini = IniFile::fromBytes(content);
        QCOMPARE(ini.value(section, key, QStringLiteral("<default>")), expected);
        QCOMPARE(ini.contains(section, key), expected != QLatin1String("<default>"));
    }

    void readingNeverCreatesAFile()
    {
        QCOMPARE(ReadSetting(path(), "Email_Settings", "MIME", "1"), QStringLiteral("1"));
        QCOMPARE(ReadSetting(dir().filePath("Missing/Corvane.ini"), "S", "K", "d"), QStringLiteral("d"));
        QVERIFY(folderEntries(dir().path()).isEmpty());
    }

    void lineBreaksInValuesBecomeSpaces()
    {
        QVERIFY(WriteSetting(path(), "S", "K", QStringLiteral("a\r\nb")));
        QCOMPARE(ReadSetting(path(), "S", "K", "x"), QStringLiteral("a  b"));
        QVERIFY(WriteSetting(path(), "S", "L", QStringLiteral("\nc\r")));
        QCOMPARE(loaded(path()).value("S", "L", "x"), QStringLiteral(" c "));
        QCOMPARE(readBytes(path()).count('\n'), 3); // header and two keys, nothing split
        QCOMPARE(readBytes(path()).count('\r'), 0);
    }

    void valuesRoundTripExactly_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("leading and trailing spaces") << QStringLiteral("  secret  ");
        QTest::newRow("trailing tab") << QStringLiteral("x\t");
        QTest::newRow("value in double quotes") << QStringLiteral("\"quoted\"");
        QTest::newRow("value in single quotes") << QStringLiteral("'quoted'");
        QTest::newRow("a single quote") << QStringLiteral("'");
        QTest::newRow("equals and semicolons") << QStringLiteral("a=b;c#d");
        QTest::newRow("non-ASCII") << QStringLiteral("Wartung \u00C4rger \u20AC \u65E5\u672C");
        QTest::newRow("empty") << QString();
    }
    void valuesRoundTripExactly()
    {
        QFETCH(QString, value);
        QVERIFY(WriteSetting(path(), "S", "K", value));
        QCOMPARE(ReadSetting(path(), "S", "K", "<default>"), value);
    }

    void readBackIsCutTo254Characters()
    {
        const QString longValue = QString(300, QLatin1Char('v')) + QStringLiteral("END");
        QVERIFY(WriteSetting(path(), "S", "K", longValue));
        QVERIFY(readBytes(path()).contains(longValue.toLatin1())); // stored whole
        QCOMPARE(loaded(path()).value("S", "K", ""), longValue);
        QCOMPARE(ReadSetting(path(), "S", "K", ""), longValue.left(254));

        // A character outside the BMP straddling the cut is dropped, not split.
        const QString emoji = QString(253, QLatin1Char('e')) + QStringLiteral("\U0001F600tail");
        QVERIFY(WriteSetting(path(), "S", "E", emoji));
        QCOMPARE(ReadSetting(path(), "S", "E", ""), emoji.left(253));
    }

    void replacesInPlaceKeepingOtherBytes()
    {
        const QByteArray before = "; plant settings\r\n"
                                  "[Email_Settings]\r\n"
                                  "smpt_server = old.example.com ; not a comment\r\n"
                                  "Sender_Name=Leitstand\r\n"
                                  "\r\n"
                                  "[Plant]\r\n"
                                  "Line=3\r\n";
        writeBytes(path(), before);
        QVERIFY(WriteSetting(path(), "EMAIL_SETTINGS", "SMPT_Server", "new.example.com"));
        QByteArray expected = before;
        expected.replace("smpt_server = old.example.com ; not a comment",
                         "smpt_server = new.example.com");
        QCOMPARE(readBytes(path()), expected);

        // Quotes and extra blanks go when the line is written; its key's spelling stays.
        writeBytes(path(), "[S]\nk =  'same'  \nL=\"x\"\n");
        QVERIFY(WriteSetting(path(), "S", "K", "same"));
        QVERIFY(WriteSetting(path(), "S", "L", "x"));
        QCOMPARE(readBytes(path()), QByteArray("[S]\nk = same\nL=x\n"));
    }

    void addsMissingKeysAndSections()
    {
        writeBytes(path(), "[A]\r\n"
                           "One=1\r\n"
                           "; about B\r\n"
                           "\r\n"
                           "[B]\r\n"
                           "; empty section\r\n"
                           "[C]\r\n"
                           "x=1"); // no line end on the last line
        QVERIFY(WriteSetting(path(), "a", "Two", "2"));
        QVERIFY(WriteSetting(path(), "B", "First", "f"));
        QVERIFY(WriteSetting(path(), "C", "y", "2"));
        QVERIFY(WriteSetting(path(), "New", "Key", "v"));
        QCOMPARE(readBytes(path()), QByteArray("[A]\r\n"
                                               "One=1\r\n"
                                               "Two=2\r\n"
                                               "; about B\r\n"
                                               "\r\n"
                                               "[B]\r\n"
                                               "First=f\r\n"
                                               "; empty section\r\n"
                                               "[C]\r\n"
                                               "x=1\r\n"
                                               "y=2\r\n"
                                               "\r\n"
                                               "[New]\r\n"
                                               "Key=v\r\n"));
    }

    void newFileUsesLfAndUtf8()
    {
        QVERIFY(WriteSetting(path(), "Email_List_1", "Name", QStringLiteral("Wartung \u00C4rger")));
        QCOMPARE(readBytes(path()), QByteArray("[Email_List_1]\nName=Wartung \xC3\x84rger\n"));
    }

    void keepsWindows1252WhenEveryValueFits()
    {
        writeBytes(path(), "; Gr\xFC\xDF" "e\r\n[S]\r\nK=alt\r\n");
        QVERIFY(WriteSetting(path(), "S", "K", QStringLiteral("\u00C4rger \u20AC")));
        QCOMPARE(readBytes(path()), QByteArray("; Gr\xFC\xDF" "e\r\n[S]\r\nK=\xC4rger \x80\r\n"));
        QCOMPARE(ReadSetting(path(), "S", "K", ""), QStringLiteral("\u00C4rger \u20AC"));
    }

    void windows1252FileBecomesUtf8WhenAValueDoesNotFit()
    {
        writeBytes(path(), "; Gr\xFC\xDF" "e\r\n[S]\r\nK=\xC4rger\r\n");
        QVERIFY(WriteSetting(path(), "S", "New", QStringLiteral("\u65E5\u672C")));
        QCOMPARE(readBytes(path()), QByteArray("; Gr\xC3\xBC\xC3\x9F" "e\r\n[S]\r\nK=\xC3\x84rger\r\n"
                                               "New=\xE6\x97\xA5\xE6\x9C\xAC\r\n"));
        QCOMPARE(ReadSetting(path(), "S", "K", ""), QStringLiteral("\u00C4rger"));
        QCOMPARE(ReadSetting(path(), "S", "New", ""), QStringLiteral("\u65E5\u672C"));
    }

    void windows1252FileKeepsItsTextsWhenItsLastNonUtf8ByteGoes_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        // In Windows-1252, "\xC3\xA4" is "Ã¤"; read as UTF-8 it would be "ä".
        QTest::newRow("the value set") << QByteArray("[S]\r\nK=\xE4\r\n") << "K" << QStringLiteral("\u00C3\u00A4");
        QTest::newRow("another line") << QByteArray("[S]\r\nA=\xC3\xA4\r\nK=\xE4\r\n") << "K" << QStringLiteral("x");
    }
    void windows1252FileKeepsItsTextsWhenItsLastNonUtf8ByteGoes()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, key);
        QFETCH(QString, value);
        writeBytes(path(), file);
        const IniFile before = IniFile::fromBytes(file);
        QVERIFY(WriteSetting(path(), "S", key, value));
        const IniFile after = loaded(path());
        QCOMPARE(after.value("S", key, "<default>"), value);
        for (const char *other : {"A", "K"})
            if (QLatin1String(other) != key)
                QCOMPARE(after.value("S", other, "<default>"), before.value("S", other, "<default>"));
    }

    void unterminatedLastLineIsEndedBeforeAnythingFollows_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("no line end") << QByteArray("[S]\nK=1") << QByteArray("[S]\nK=1\nL=2\n");
        QTest::newRow("cut between CR and LF") << QByteArray("[S]\r\nK=1\r") << QByteArray("[S]\r\nK=1\r\nL=2\r\n");
        QTest::newRow("section cut between CR and LF") << QByteArray("[T]\n[S\r") << QByteArray("[T]\n[S\r\nL=2\n");
    }
    void unterminatedLastLineIsEndedBeforeAnythingFollows()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, expected);
        writeBytes(path(), file);
        QVERIFY(WriteSetting(path(), "S", "L", "2"));
        QCOMPARE(readBytes(path()), expected);
        QCOMPARE(ReadSetting(path(), "S", "L", "<default>"), QStringLiteral("2"));
    }

    void utf8ByteOrderMarkSurvives()
    {
        writeBytes(path(), "\xEF\xBB\xBF[S]\nK=\xC3\xA4\n");
        QCOMPARE(ReadSetting(path(), "S", "K", ""), QStringLiteral("\u00E4"));
        QVERIFY(WriteSetting(path(), "S", "L", "2"));
        QCOMPARE(readBytes(path()), QByteArray("\xEF\xBB\xBF[S]\nK=\xC3\xA4\nL=2\n"));
    }

    void newFileIsPrivateAndExistingKeepsItsMode()
    {
        if (!hasFileModes())
            QSKIP("Windows keeps access lists instead of modes (tests/windows).");
        QVERIFY(WriteSetting(path(), "S", "K", "v"));
        QCOMPARE(fileMode(path()), 0600);

        const QString shared = path(QStringLiteral("shared.ini"));
        writeBytes(shared, "[S]\n");
        QVERIFY(QFile::setPermissions(shared, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(WriteSetting(shared, "S", "K", "v"));
        QCOMPARE(fileMode(shared), 0640);
        QCOMPARE(ReadSetting(shared, "S", "K", ""), QStringLiteral("v"));
    }

    void unwritablePathsAreReported_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::newRow("folder is a regular file") << QStringLiteral("plain/Corvane.ini");
        QTest::newRow("missing folder") << QStringLiteral("absent/Corvane.ini");
        QTest::newRow("settings path is a folder") << QStringLiteral("folder");
    }
    void unwritablePathsAreReported()
    {
        QFETCH(QString, relative);
        writeBytes(path(QStringLiteral("plain")), "not a folder");
        QVERIFY(QDir(dir().path()).mkdir(QStringLiteral("folder")));
        const Result result = WriteSetting(path(relative), "S", "K", "v");
        QVERIFY(!result);
        QVERIFY2(result.error.contains(path(relative)), qPrintable(result.error));
        QCOMPARE(folderEntries(dir().path()), QStringList({"folder", "plain"}));
    }

    void unreadableFileIsNotRewritten()
    {
        // A name that exists but cannot be read must not be replaced by a document
        // built from nothing.
        const int socket = bindUnixSocket(path());
        if (socket < 0)
            QSKIP("Windows keeps no socket in the file system.");
        IniFile ini;
        QVERIFY(!ini.load(path()).error.isEmpty());
        QVERIFY(!WriteSetting(path(), "S", "K", "v"));
        QVERIFY(!QFileInfo(path()).isFile());
        closeSocket(socket);
    }

    void byteOrderMarkGoesWhateverFollows_data()
    {
        QTest::addColumn<QByteArray>("afterMark");
        QTest::newRow("UTF-8 text") << QByteArray("; \xC3\xA4\n");
        QTest::newRow("Windows-1252 text") << QByteArray("; \xE4rger\n");
        QTest::newRow("a byte no encoding knows") << QByteArray("\xFF\n");
        QTest::newRow("section at once") << QByteArray();
    }
    void byteOrderMarkGoesWhateverFollows()
    {
        // The mark must not become part of the first section's name: that hides
        // the section, and the next save would append it a second time.
        QFETCH(QByteArray, afterMark);
        const QByteArray mark("\xEF\xBB\xBF");
        writeBytes(path(), mark + afterMark + "[S]\nK=1\n");
        QCOMPARE(ReadSetting(path(), "S", "K", "<default>"), QStringLiteral("1"));
        QVERIFY(WriteSetting(path(), "S", "K", "2"));
        const QByteArray saved = readBytes(path());
        QCOMPARE(saved.count("[S]"), 1);
        QVERIFY(saved.startsWith(mark));
        QCOMPARE(saved.count(mark), 1);
        QCOMPARE(ReadSetting(path(), "S", "K", "<default>"), QStringLiteral("2"));
    }

    void hostileFilesAreUnreadableAndNeverReplaced_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
        QTest::newRow("over the size bound") << QStringLiteral("huge");
        QTest::newRow("sparse, over the size bound") << QStringLiteral("sparse");
    }
    void hostileFilesAreUnreadableAndNeverReplaced()
    {
        // A FIFO would block the start for ever, a file of millions of lines
        // would take minutes and gigabytes; either must give defaults at once.
        QFETCH(QString, kind);
        QByteArray before;
        if (kind == QLatin1String("fifo")) {
            if (!makeFifo(path()))
                QSKIP("Windows has no FIFOs in the file system.");
        } else if (kind == QLatin1String("huge")) {
            before = QByteArray("[S]\nK=1\n") + QByteArray(2 * 1024 * 1024, '\n');
            writeBytes(path(), before);
        } else {
            writeBytes(path(), "[S]\nK=1\n");
            QVERIFY(QFile::resize(path(), 64 * 1024 * 1024));
        }
        const qint64 sizeBefore = QFileInfo(path()).size();

        IniFile ini;
        const Result result = ini.load(path());
        QVERIFY(!result);
        QVERIFY2(result.error.contains(path()), qPrintable(result.error));
        QCOMPARE(ini.value("S", "K", "<default>"), QStringLiteral("<default>"));
        QCOMPARE(ReadSetting(path(), "S", "K", "<default>"), QStringLiteral("<default>"));

        QVERIFY(!WriteSetting(path(), "S", "K", "2"));
        QCOMPARE(QFileInfo(path()).isFile(), kind != QLatin1String("fifo"));
        QCOMPARE(QFileInfo(path()).size(), sizeBefore);
        if (!before.isEmpty())
            QCOMPARE(readBytes(path()), before);
    }
};

QTEST_GUILESS_MAIN(IniFileTest)
#include "tst_IniFile.moc"
