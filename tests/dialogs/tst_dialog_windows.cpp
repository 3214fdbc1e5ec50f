// The dialogs as the main window opens them from its menu: one instance each,
// a window of their own, the focus on their first control, closed when another
// window of the program becomes active, deaf to Enter and Escape.

#include "DialogTestSupport.h"
#include "app/ServiceRig.h"

#include "app/DialogSetup.h"
#include "app/MDIMain.h"
#include "app/Service.h"
#include "dialogs/frmEmailTest.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWindow>

using namespace corvane;
using namespace corvane::test;

namespace {

struct Running {
    ServiceRig rig;
    std::unique_ptr<MDIMain> window;

    Running()
    {
        QString error;
        if (!rig.start(&error))
            qFatal("service did not start: %s", qPrintable(error));
        rig.service().settings().RecipientLists[2].Addresses[1] = QStringLiteral("two@plant.example");
        window = std::make_unique<MDIMain>(rig.service());
        installDialogs(*window, rig.service().settings(), *rig.service().queue());
        window->show();
        if (!QTest::qWaitForWindowActive(window.get()))
            qFatal("the main window did not become active");
    }
    QAction *item(const QString &name) const { return window->findChild<QAction *>(name); }
    QWidget *open(const QString &itemName, MDIMain::Dialog dialog)
    {
        item(itemName)->trigger();
        return window->dialogInstance(dialog);
    }
    QString iniPath() const { return rig.folder() + QStringLiteral("/Corvane.ini"); }
    bool anythingQueued() const
    {
        for (const QString &line : rig.logMessages()) {
            if (line.contains(QLatin1String("Address: ")))
                return true;
        }
        return false;
    }
};

void addDialogRows()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("dialog");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("first");

    QTest::newRow("account") << "menuSetEmailAccount" << int(MDIMain::Dialog::EmailAccount)
                             << "frmSetEmailAccount" << "txtServer";
    QTest::newRow("lists") << "menuSetEmailLists" << int(MDIMain::Dialog::EmailLists)
                           << "frmSetEmailLists" << "txtName(1)";
    QTest::newRow("test") << "menuTestEmail" << int(MDIMain::Dialog::EmailTest) << "frmEmailTest"
                          << "cmbList";
}

} // namespace

class DialogWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void menuOpensOneInstanceWithTheFocusOnItsFirstControl_data() { addDialogRows(); }

    void menuOpensOneInstanceWithTheFocusOnItsFirstControl()
    {
        QFETCH(QString, item);
        QFETCH(int, dialog);
        QFETCH(QString, name);
        QFETCH(QString, first);
        Running app;
        const auto which = static_cast<MDIMain::Dialog>(dialog);
        QPointer<QWidget> opened = app.open(item, which);
        QVERIFY(opened);
        QCOMPARE(opened->objectName(), name);
        QVERIFY(opened->isWindow());
        QCOMPARE(opened->parentWidget(), app.window.get());
        QVERIFY(!opened->isModal());
        QVERIFY(opened->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(opened->minimumSize(), opened->maximumSize());
        QTRY_VERIFY_WITH_TIMEOUT(opened->isActiveWindow(), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget() ? QApplication::focusWidget()->objectName()
                                                              : QString(),
                                  first, 3000);

        // Chosen again: the same window, still in front with its focus.
        app.item(item)->trigger();
        settle();
        QCOMPARE(app.window->dialogInstance(which), opened.data());
        QVERIFY(opened->isActiveWindow());
        QCOMPARE(QApplication::focusWidget()->objectName(), first);

        // Every close releases it; the next choice makes a new one.
        QTest::mouseClick(opened->findChild<QPushButton *>(QStringLiteral("cmdCancel")),
                          Qt::LeftButton);
        settle();
        QVERIFY(opened.isNull());
        QVERIFY(app.window->dialogInstance(which) == nullptr);
        QPointer<QWidget> again = app.open(item, which);
        QVERIFY(again);
        QTRY_VERIFY_WITH_TIMEOUT(again->isActiveWindow(), 3000);
    }

    void enterAndEscapeDoNothing_data() { addDialogRows(); }

    void enterAndEscapeDoNothing()
    {
        QFETCH(QString, item);
        QFETCH(int, dialog);
        Running app;
        QPointer<QWidget> opened = app.open(item, static_cast<MDIMain::Dialog>(dialog));
        QTRY_VERIFY_WITH_TIMEOUT(opened->isActiveWindow(), 3000);
        // A test message that Enter would send if a button took it.
        for (const char *name : {"txtSubject", "txtText"}) {
            if (auto *box = opened->findChild<QLineEdit *>(QString::fromLatin1(name)))
                typeInto(box, QStringLiteral("filled"));
        }
        const QList<QPushButton *> buttons = opened->findChildren<QPushButton *>();
        QVERIFY(!buttons.isEmpty());
        QList<QWidget *> places{opened->findChild<QLineEdit *>()};
        for (QPushButton *button : buttons) {
            QVERIFY(!button->isDefault());
            QVERIFY(!button->autoDefault());
        }
        places << buttons.first();
        for (QWidget *place : places) {
            place->setFocus(Qt::TabFocusReason);
            for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
                QTest::keyClick(place, Qt::Key(key));
            settle();
            QVERIFY2(opened && opened->isVisible(), qPrintable(place->objectName()));
        }
        QVERIFY(!QFile::exists(app.iniPath()));
        QVERIFY(!app.anythingQueued());
    }

    void activatingTheMainWindowDiscardsTheEdits()
    {
        Running app;
        app.rig.service().settings().AccountSettings.SmtpServer = QStringLiteral("kept.example");
        QPointer<QWidget> opened = app.open(QStringLiteral("menuSetEmailAccount"),
                                            MDIMain::Dialog::EmailAccount);
        QTRY_VERIFY_WITH_TIMEOUT(opened->isActiveWindow(), 3000);
        typeInto(opened->findChild<QLineEdit *>(QStringLiteral("txtServer")),
                 QStringLiteral("lost.example"));

        app.window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(opened.isNull(), 3000);
        QCOMPARE(app.rig.service().settings().AccountSettings.SmtpServer,
                 QStringLiteral("kept.example"));
        QVERIFY(!QFile::exists(app.iniPath()));

        // The next opening shows the settings as they are.
        opened = app.open(QStringLiteral("menuSetEmailAccount"), MDIMain::Dialog::EmailAccount);
        QCOMPARE(opened->findChild<QLineEdit *>(QStringLiteral("txtServer"))->text(),
                 QStringLiteral("kept.example"));
    }

    void openingAnotherDialogClosesTheFirst()
    {
        Running app;
        QPointer<QWidget> lists = app.open(QStringLiteral("menuSetEmailLists"),
                                           MDIMain::Dialog::EmailLists);
        QTRY_VERIFY_WITH_TIMEOUT(lists->isActiveWindow(), 3000);
        typeInto(lists->findChild<QLineEdit *>(QStringLiteral("txtName(1)")), QStringLiteral("Lost"));
        QPointer<QWidget> test = app.open(QStringLiteral("menuTestEmail"), MDIMain::Dialog::EmailTest);
        QTRY_VERIFY_WITH_TIMEOUT(lists.isNull(), 3000);
        settle();
        QVERIFY(test);
        QVERIFY(test->isVisible());
        QCOMPARE(app.rig.service().settings().RecipientLists[1].Name, QString());
        QCOMPARE(qobject_cast<QComboBox *>(QApplication::focusWidget()),
                 test->findChild<QComboBox *>(QStringLiteral("cmbList")));
    }

    void aDialogNotYetActiveIsNotClosed()
    {
        Running app;
        Service &service = app.rig.service();
        // As when a menu closes: the main window takes the focus back in the
        // same round of events in which the new dialog is shown.
        QPointer<QWidget> dialog =
            new frmEmailTest(service.settings().RecipientLists, *service.queue(), app.window.get());
        dialog->show();
        dialog->activateWindow();
        app.window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(app.window->isActiveWindow(), 3000);
        settle();
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());

        // Once it has had the focus, losing it to the main window closes it.
        dialog->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(dialog->isActiveWindow(), 3000);
        app.window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 3000);
    }

    void ownPopupsAndOtherProgramsDoNotClose()
    {
        Running app;
        QPointer<QWidget> opened = app.open(QStringLiteral("menuSetEmailAccount"),
                                            MDIMain::Dialog::EmailAccount);
        QTRY_VERIFY_WITH_TIMEOUT(opened->isActiveWindow(), 3000);
        auto *priority = opened->findChild<QComboBox *>(QStringLiteral("cmbPriority"));
        priority->setEnabled(true);
        priority->showPopup();
        settle();
        QVERIFY(opened);
        priority->hidePopup();
        settle();
        QVERIFY(opened);

        // A window that belongs to no widget of the program stands for another
        // application taking the focus.
        QWindow elsewhere;
        elsewhere.resize(50, 50);
        elsewhere.show();
        elsewhere.requestActivate();
        QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::focusWindow(), &elsewhere, 3000);
        settle();
        QVERIFY(opened);
        QVERIFY(opened->isVisible());

        // Coming back to the main window still closes it.
        app.window->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(opened.isNull(), 3000);
    }
};

QTEST_MAIN(DialogWindowsTest)
#include "tst_dialog_windows.moc"
