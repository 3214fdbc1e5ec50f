// The sending-account dialog, driven with keys and clicks on the offscreen platform.

#include "DialogTestSupport.h"

#include "dialogs/frmSetEmailAccount.h"
#include "storage/SettingsStore.h"
#include "storage/StorageTestUtil.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

struct Opened {
    ProgramData data;
    QWidget owner;
    QPointer<frmSetEmailAccount> dialog;

    void open()
    {
        dialog = new frmSetEmailAccount(data.settings, &owner);
        if (!showActive(dialog))
            qFatal("the account dialog did not become active");
    }
    template <typename T>
    T *get(const char *name) const
    {
        T *w = child<T>(dialog, QString::fromLatin1(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    void press(const char *button) { QTest::mouseClick(get<QPushButton>(button), Qt::LeftButton); }
    // Space on a focused check box or option, as from the keyboard.
    void toggle(const char *name)
    {
        QWidget *w = get<QWidget>(name);
        w->setFocus(Qt::TabFocusReason);
        QTest::keyClick(w, Qt::Key_Space);
    }
};

} // namespace

class AccountDialogTest : public QObject {
    Q_OBJECT

private slots:
    void priorityShownAndStored_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("typed"); // keyboard search in the box
        QTest::addColumn<int>("saved");

        QTest::newRow("high shown, low chosen") << 1 << "High" << "L" << 2;
        QTest::newRow("low shown, normal chosen") << 2 << "Low" << "N" << 0;
        QTest::newRow("normal shown, high chosen") << 0 << "Normal" << "H" << 1;
        QTest::newRow("out of range shows normal") << 3 << "Normal" << "" << 0;
        QTest::newRow("far out of range shows normal") << 255 << "Normal" << "L" << 2;
    }

    void priorityShownAndStored()
    {
        QFETCH(int, stored);
        QFETCH(QString, shown);
        QFETCH(QString, typed);
        QFETCH(int, saved);
        Opened t;
        t.data.settings.AccountSettings.UseMime = true;
        t.data.settings.AccountSettings.Priority = static_cast<std::uint8_t>(stored);
        t.open();
        auto *priority = t.get<QComboBox>("cmbPriority");
        QCOMPARE(priority->currentText(), shown);
        QVERIFY(!priority->isEditable());
        QCOMPARE(priority->count(), 3);
        if (!typed.isEmpty()) {
            priority->setFocus(Qt::TabFocusReason);
            QTest::keyClicks(priority, typed);
        }
        t.press("cmdOk");
        QCOMPARE(int(t.data.settings.AccountSettings.Priority), saved);
        QCOMPARE(int(t.data.readBack().AccountSettings.Priority), saved);
        settle();
        QVERIFY(t.dialog.isNull());
    }

    void popLoginEnablesTheServerBox()
    {
        Opened t;
        t.data.settings.AccountSettings.UsePopLogin = false;
        t.data.settings.AccountSettings.Pop3Server = QStringLiteral("pop.old.example");
        t.open();
        auto *label = t.get<QLabel>("lblPopServer");
        auto *box = t.get<QLineEdit>("txtPopServer");
        QVERIFY(!label->isEnabled());
        QVERIFY(!box->isEnabled());
        QCOMPARE(box->text(), QStringLiteral("pop.old.example"));

        t.toggle("chkPopLogin");
        QVERIFY(label->isEnabled());
        QVERIFY(box->isEnabled());
        typeInto(box, QStringLiteral("pop.new.example"));
        t.toggle("chkPopLogin");
        QVERIFY(!label->isEnabled());
        QVERIFY(!box->isEnabled());
        QCOMPARE(box->text(), QStringLiteral("pop.new.example"));

        // A disabled box is applied like the others.
        t.press("cmdOk");
        const Settings file = t.data.readBack();
        QCOMPARE(file.AccountSettings.Pop3Server, QStringLiteral("pop.new.example"));
        QCOMPARE(file.AccountSettings.UsePopLogin, false);
    }

    void encodingSwitchesTheMimeOptions()
    {
        Opened t;
        AccountSettingsRecord &account = t.data.settings.AccountSettings;
        account.UseMime = true;
        account.UseHtml = account.RequestReceipt = account.UseLogin = account.UsePopLogin = true;
        t.open();
        const char *mimeOnly[] = {"chkHtml", "chkReceipt", "chkLogin"};
        for (const char *name : mimeOnly)
            QVERIFY(t.get<QCheckBox>(name)->isChecked());

        t.toggle("optEncodeType(1)");
        QVERIFY(t.get<QRadioButton>("optEncodeType(1)")->isChecked());
        QVERIFY(!t.get<QRadioButton>("optEncodeType(0)")->isChecked());
        QVERIFY(!t.get<QComboBox>("cmbPriority")->isEnabled());
        for (const char *name : mimeOnly) {
            QVERIFY2(!t.get<QCheckBox>(name)->isChecked(), name);
            QVERIFY2(!t.get<QCheckBox>(name)->isEnabled(), name);
        }
        QVERIFY(t.get<QCheckBox>("chkPopLogin")->isEnabled());
        QVERIFY(t.get<QCheckBox>("chkPopLogin")->isChecked());

        t.toggle("optEncodeType(0)");
        QVERIFY(t.get<QComboBox>("cmbPriority")->isEnabled());
        for (const char *name : mimeOnly) {
            QVERIFY2(t.get<QCheckBox>(name)->isEnabled(), name);
            QVERIFY2(!t.get<QCheckBox>(name)->isChecked(), name);
        }
        t.press("cmdOk");
        const AccountSettingsRecord file = t.data.readBack().AccountSettings;
        QVERIFY(file.UseMime);
        QVERIFY(!file.UseUUEncode);
        QVERIFY(!file.UseHtml);
        QVERIFY(!file.RequestReceipt);
        QVERIFY(!file.UseLogin);
        QVERIFY(file.UsePopLogin);
    }

    void uuencodeAccountOpensWithItsFlagsDisabled()
    {
        Opened t;
        AccountSettingsRecord &account = t.data.settings.AccountSettings;
        account.UseMime = false;
        account.UseUUEncode = false; // not consulted
        account.UseHtml = true;
        t.open();
        QVERIFY(t.get<QRadioButton>("optEncodeType(1)")->isChecked());
        auto *html = t.get<QCheckBox>("chkHtml");
        QVERIFY(html->isChecked());
        QVERIFY(!html->isEnabled());
        t.press("cmdOk");
        const AccountSettingsRecord file = t.data.readBack().AccountSettings;
        QVERIFY(file.UseHtml);
        QVERIFY(!file.UseMime);
        QVERIFY(file.UseUUEncode);
    }

    void textsAreStoredTrimmed_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");

        QTest::newRow("server") << "txtServer" << "  smtp.example.com " << "smtp.example.com";
        QTest::newRow("password keeps inner spaces") << "txtUserPassword" << " pa ss  " << "pa ss";
        QTest::newRow("sender name emptied") << "txtFromName" << "" << "";
        QTest::newRow("user name of spaces") << "txtUserName" << "    " << "";
        QTest::newRow("sender address unchecked") << "txtFromEmail" << "no address" << "no address";
    }

    void textsAreStoredTrimmed()
    {
        QFETCH(QString, box);
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        Opened t;
        AccountSettingsRecord &account = t.data.settings.AccountSettings;
        account.SmtpServer = account.SenderName = account.SenderEmail = account.UserName =
            account.UserPassword = QStringLiteral("before");
        t.open();
        typeInto(t.get<QLineEdit>(qPrintable(box)), typed);
        t.press("cmdOk");
        const AccountSettingsRecord file = t.data.readBack().AccountSettings;
        const QString fields[] = {file.SmtpServer, file.SenderName, file.SenderEmail, file.UserName,
                                  file.UserPassword};
        const char *names[] = {"txtServer", "txtFromName", "txtFromEmail", "txtUserName",
                               "txtUserPassword"};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(fields[i], box == QLatin1String(names[i]) ? stored : QStringLiteral("before"));
        QCOMPARE(t.data.settings.AccountSettings.SmtpServer, file.SmtpServer);
    }

    void pastedLineBreaksBecomeSpaces()
    {
        Opened t;
        t.open();
        auto *server = t.get<QLineEdit>("txtServer");
        typeInto(server, QString());
        QApplication::clipboard()->setText(QStringLiteral("mail.\r\nexample.com\nBcc: x"));
        QTest::keyClick(server, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(server->text(), QStringLiteral("mail.  example.com Bcc: x"));
        t.press("cmdOk");
        QCOMPARE(t.data.readBack().AccountSettings.SmtpServer,
                 QStringLiteral("mail.  example.com Bcc: x"));
    }

    void applyWritesTheListsToo()
    {
        Opened t;
        t.data.settings.RecipientLists[6].Name = QStringLiteral("Pumps");
        t.data.settings.RecipientLists[6].Addresses[16] = QStringLiteral("pumps@plant.example");
        t.open();
        // Every box empty, and nothing complains.
        for (const char *name : {"txtServer", "txtPopServer", "txtFromName", "txtFromEmail",
                                 "txtUserName", "txtUserPassword"}) {
            if (t.get<QLineEdit>(name)->isEnabled())
                typeInto(t.get<QLineEdit>(name), QString());
        }
        t.press("cmdOk");
        settle();
        QVERIFY(t.dialog.isNull());
        const Settings file = t.data.readBack();
        QCOMPARE(file.RecipientLists[6].Name, QStringLiteral("Pumps"));
        QCOMPARE(file.RecipientLists[6].Addresses[16], QStringLiteral("pumps@plant.example"));
        QCOMPARE(file.AccountSettings.SmtpServer, QString());
    }

    void cancelDiscardsTheEdits()
    {
        Opened t;
        t.data.settings.AccountSettings.SmtpServer = QStringLiteral("kept.example");
        t.open();
        typeInto(t.get<QLineEdit>("txtServer"), QStringLiteral("lost.example"));
        t.toggle("chkPopLogin");
        t.press("cmdCancel");
        settle();
        QVERIFY(t.dialog.isNull());
        QCOMPARE(t.data.settings.AccountSettings.SmtpServer, QStringLiteral("kept.example"));
        QVERIFY(!t.data.settings.AccountSettings.UsePopLogin);
        QVERIFY(!QFile::exists(t.data.iniPath()));
    }

    void focusFollowsTheFormOrder()
    {
        Opened t;
        t.data.settings.AccountSettings.UseMime = true;
        t.data.settings.AccountSettings.UsePopLogin = true;
        t.open();
        QStringList seen{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 14; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        // The option group is one stop: the selected option takes the focus.
        const QStringList expected{
            "txtServer",  "txtPopServer", "txtFromName", "txtFromEmail", "txtUserName",
            "txtUserPassword", "optEncodeType(0)", "cmbPriority", "chkHtml", "chkReceipt",
            "chkLogin", "chkPopLogin", "cmdOk", "cmdCancel", "txtServer"};
        QCOMPARE(seen, expected);

        // Without POP login the server box is skipped, as are the MIME-only
        // controls under UUEncode.
        t.toggle("chkPopLogin");
        t.toggle("optEncodeType(1)");
        t.get<QWidget>("txtServer")->setFocus(Qt::TabFocusReason);
        seen = QStringList{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 9; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, (QStringList{"txtServer", "txtFromName", "txtFromEmail", "txtUserName",
                                    "txtUserPassword", "optEncodeType(1)", "chkPopLogin", "cmdOk",
                                    "cmdCancel", "txtServer"}));
    }

    void saveFailureIsShownAndTheDialogCloses_data()
    {
        QTest::addColumn<bool>("readOnlyFolder");
        QTest::newRow("folder is a file") << false;
        QTest::newRow("read-only folder") << true;
    }

    void saveFailureIsShownAndTheDialogCloses()
    {
        QFETCH(bool, readOnlyFolder);
        Opened t;
        ReadOnlyFolder readOnly;
        if (readOnlyFolder) {
            QString why;
            if (!readOnly.engage(t.data.folder(), &why))
                QSKIP(qPrintable(why));
        } else {
            writeBytes(t.data.folder() + QStringLiteral("/plain"), "a file");
            t.data.settings.SettingsFilePath = t.data.folder() + QStringLiteral("/plain/Corvane.ini");
        }
        t.open();
        typeInto(t.get<QLineEdit>("txtServer"), QStringLiteral("smtp.applied.example"));
        SeenMessageBox box;
        answerMessageBox(&box, t.dialog);
        t.press("cmdOk");
        QVERIFY(box.seen);
        QCOMPARE(box.caption, QStringLiteral("Error"));
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QCOMPARE(box.format, Qt::PlainText);
        QCOMPARE(box.buttons, 1);
        QVERIFY2(box.text.contains(t.data.settings.SettingsFilePath), qPrintable(box.text));
        QVERIFY(box.ownerStillOpen);
        settle();
        QVERIFY(t.dialog.isNull());
        // Applied in memory all the same.
        QCOMPARE(t.data.settings.AccountSettings.SmtpServer, QStringLiteral("smtp.applied.example"));
    }
};

QTEST_MAIN(AccountDialogTest)
#include "tst_account_dialog.moc"
