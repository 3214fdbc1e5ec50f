// The dialogs as the main window opens them from its menu: one instance each,
// a window of their own with the focus on its first control, closed when
// another window of the program becomes active, deaf to Enter and Escape.

#include "DialogTestSupport.h"
#include "app/ServiceRig.h"

#include "app/DialogSetup.h"
#include "app/MDIMain.h"
#include "intake/NotificationQueue.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QWindow>

using namespace corvane;
using namespace corvane::test;

namespace {

struct Running {
    ServiceRig rig;
    std::unique_ptr<MDIMain> window;
    Settings &settings() { return rig.service().settings(); }

    Running()
    {
        if (!rig.start())
            qFatal("the service did not start");
        settings().RecipientLists[1].Addresses[1] = QStringLiteral("one@plant.example");
        settings().AccountSettings.SmtpServer = QStringLiteral("kept.example");
        settings().OAuth.Provider = QStringLiteral("Custom");
        window = std::make_unique<MDIMain>(rig.service());
        installDialogs(*window, rig.service());
        window->show();
        if (!QTest::qWaitForWindowActive(window.get()))
            qFatal("the main window did not become active");
    }
    // Chooses the menu item; the dialog it opened, once active.
    Driver choose(const QString &item, MDIMain::Dialog which)
    {
        window->findChild<QAction *>(item)->trigger();
        Driver d{window->dialogInstance(which)};
        if (!d.dialog || !QTest::qWaitForWindowActive(d.dialog))
            qFatal("%s opened no active dialog", qPrintable(item));
        return d;
    }
    bool untouched()
    {
        return settings().AccountSettings.SmtpServer == QLatin1String("kept.example")
               && settings().RecipientLists[1].Name.isEmpty() && settings().OAuth.ClientId.isEmpty()
               && !QFile::exists(settings().SettingsFilePath)
               && !rig.logMessages().join(QString()).contains(QLatin1String("Address: "));
    }
};

} // namespace

class DialogWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void eachMenuItem_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("edited");
        QTest::newRow("account") << "menuSetEmailAccount" << int(MDIMain::Dialog::EmailAccount)
                                 << "txtServer" << "txtServer";
        QTest::newRow("lists") << "menuSetEmailLists" << int(MDIMain::Dialog::EmailLists)
                               << "txtName(1)" << "txtName(1)";
        QTest::newRow("oauth") << "menuSetOAuth" << int(MDIMain::Dialog::OAuth) << "cmbProvider"
                               << "txtClientId";
        QTest::newRow("delivery") << "menuSetDelivery" << int(MDIMain::Dialog::Delivery) << "txtCaFile"
                                  << "txtCaFile";
        QTest::newRow("test") << "menuTestEmail" << int(MDIMain::Dialog::EmailTest) << "cmbList"
                              << "txtSubject";
    }
    void eachMenuItem()
    {
        QFETCH(QString, item);
        QFETCH(int, which);
        QFETCH(QString, first);
        QFETCH(QString, edited);
        Running app;
        const auto dialog = MDIMain::Dialog(which);
        Driver d = app.choose(item, dialog);
        QVERIFY(d.dialog->isWindow() && !d.dialog->isModal());
        QCOMPARE(d.dialog->parentWidget(), app.window.get());
        QVERIFY(d.dialog->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(d.dialog->minimumSize(), d.dialog->maximumSize());
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), d.get(first), 3000);

        // Enter and Escape press nothing, wherever the focus is; the test
        // message is complete, so a send would go through.
        if (d.dialog->objectName() == QLatin1String("frmEmailTest"))
            d.type(QStringLiteral("txtText"), QStringLiteral("x@y"));
        d.type(edited, QStringLiteral("x@y"));
        for (QWidget *place : {d.get(edited), d.get(QStringLiteral("cmdCancel"))}) {
            place->setFocus(Qt::TabFocusReason);
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::keyClick(place, key);
        }
        settle();
        QVERIFY(d.dialog && d.dialog->isVisible());

        // Chosen again: the same window, in front, its focus where it was.
        app.choose(item, dialog);
        settle();
        QCOMPARE(app.window->dialogInstance(dialog), d.dialog.data());
        QCOMPARE(QApplication::focusWidget(), d.get(QStringLiteral("cmdCancel")));

        // Going back to the main window closes it without applying; the next
        // opening starts again from the settings.
        app.window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(d.dialog.isNull(), 3000);
        QVERIFY(app.untouched());
        QVERIFY(!app.window->dialogInstance(dialog));
        Driver again = app.choose(item, dialog);
        QVERIFY(again.text(edited) != QLatin1String("x@y"));
        again.press(QStringLiteral("cmdCancel"));
        settle();
        QVERIFY(again.dialog.isNull());
    }

    void whatDoesAndDoesNotClose()
    {
        Running app;
        Driver lists = app.choose(QStringLiteral("menuSetEmailLists"), MDIMain::Dialog::EmailLists);
        lists.type(QStringLiteral("txtName(1)"), QStringLiteral("Lost"));
        // Another dialog becoming active closes the first.
        Driver test = app.choose(QStringLiteral("menuTestEmail"), MDIMain::Dialog::EmailTest);
        QTRY_VERIFY_WITH_TIMEOUT(lists.dialog.isNull(), 3000);

        // Its own drop-down, and a window of no widget (another program), do not.
        auto *combo = qobject_cast<QComboBox *>(test.get(QStringLiteral("cmbList")));
        combo->showPopup();
        settle();
        combo->hidePopup();
        QWindow elsewhere;
        elsewhere.show();
        elsewhere.requestActivate();
        QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::focusWindow(), &elsewhere, 3000);
        settle();
        QVERIFY(test.dialog && test.dialog->isVisible());
        test.press(QStringLiteral("cmdCancel"));
        settle();

        QVERIFY(app.untouched());
    }
};

QTEST_MAIN(DialogWindowsTest)
#include "tst_dialog_windows.moc"
