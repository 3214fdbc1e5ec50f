// The recipient lists dialog, driven with keys and clicks on the offscreen platform.

#include "DialogTestSupport.h"

#include "dialogs/frmSetEmailLists.h"
#include "storage/StorageTestUtil.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

QString nameBox(int n)
{
    return QStringLiteral("txtName(%1)").arg(n);
}

QString addressBox(int n, int k)
{
    return QStringLiteral("txtList%1Email(%2)").arg(n).arg(k);
}

struct Opened {
    ProgramData data;
    QWidget owner;
    QPointer<frmSetEmailLists> dialog;

    void open()
    {
        dialog = new frmSetEmailLists(data.settings, &owner);
        if (!showActive(dialog))
            qFatal("the lists dialog did not become active");
    }
    QTabWidget *tabs() const { return child<QTabWidget>(dialog, QStringLiteral("SSTab1")); }
    QLineEdit *box(const QString &name) const
    {
        auto *w = child<QLineEdit>(dialog, name);
        if (!w)
            qFatal("no box %s", qPrintable(name));
        return w;
    }
    // Clicks the page's tab, then types into the box.
    void type(int list, const QString &name, const QString &text)
    {
        QTabBar *bar = tabs()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(list - 1).center());
        typeInto(box(name), text);
    }
    void press(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(dialog, QString::fromLatin1(button)), Qt::LeftButton);
    }
};

} // namespace

class ListsDialogTest : public QObject {
    Q_OBJECT

private slots:
    void opensShowingTheListsOnTheFirstPage()
    {
        Opened t;
        RecipientListTable &lists = t.data.settings.RecipientLists;
        lists[1].Name = QStringLiteral("Operators");
        lists[1].Addresses[1] = QStringLiteral("a@plant.example");
        lists[4].Addresses[16] = QStringLiteral("d16@plant.example");
        lists[8].Name = QStringLiteral("Maintenance");
        lists[8].Addresses[9] = QStringLiteral("m9@plant.example");
        t.open();
        QCOMPARE(t.tabs()->count(), 8);
        QCOMPARE(t.tabs()->currentIndex(), 0);
        for (int n = 1; n <= 8; ++n) {
            QCOMPARE(t.tabs()->tabText(n - 1), QStringLiteral("List %1").arg(n));
            QCOMPARE(t.box(nameBox(n))->text(), lists[n].Name);
            for (int k = 1; k <= 16; ++k)
                QCOMPARE(t.box(addressBox(n, k))->text(), lists[n].Addresses[k]);
        }
        // Only the shown page's boxes are visible.
        QVERIFY(t.box(addressBox(1, 16))->isVisible());
        QVERIFY(!t.box(addressBox(8, 9))->isVisible());
        QCOMPARE(QApplication::focusWidget(), t.box(nameBox(1)));
    }

    void applyStoresTrimmedBoxes_data()
    {
        QTest::addColumn<int>("list");
        QTest::addColumn<int>("slot"); // 0: the list's name
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");

        QTest::newRow("address with spaces around") << 2 << 3 << "  ops@plant.example " << "ops@plant.example";
        QTest::newRow("only spaces empties the slot") << 5 << 16 << "     " << "";
        QTest::newRow("empty box") << 1 << 1 << "" << "";
        QTest::newRow("a single @") << 8 << 9 << "@" << "@";
        QTest::newRow("name trimmed") << 3 << 0 << "  Night Shift  " << "Night Shift";
        QTest::newRow("name of spaces") << 7 << 0 << "   " << "";
        QTest::newRow("name not checked") << 6 << 0 << "<b>a;b@c" << "<b>a;b@c";
    }

    void applyStoresTrimmedBoxes()
    {
        QFETCH(int, list);
        QFETCH(int, slot);
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        Opened t;
        RecipientListTable &lists = t.data.settings.RecipientLists;
        for (int n = 1; n <= 8; ++n) {
            lists[n].Name = QStringLiteral("list %1").arg(n);
            lists[n].Addresses[1] = QStringLiteral("first%1@plant.example").arg(n);
            lists[n].Addresses[3] = QStringLiteral("third%1@plant.example").arg(n);
            lists[n].Addresses[9] = QStringLiteral("ninth%1@plant.example").arg(n);
            lists[n].Addresses[16] = QStringLiteral("last%1@plant.example").arg(n);
        }
        RecipientListTable expected = lists;
        (slot == 0 ? expected[list].Name : expected[list].Addresses[slot]) = stored;
        t.data.settings.AccountSettings.SmtpServer = QStringLiteral("smtp.kept.example");
        t.open();
        t.type(list, slot == 0 ? nameBox(list) : addressBox(list, slot), typed);
        t.press("cmdOk");
        settle();
        QVERIFY(t.dialog.isNull());
        const Settings file = t.data.readBack();
        for (int n = 1; n <= 8; ++n) {
            QCOMPARE(t.data.settings.RecipientLists[n].Name, expected[n].Name);
            QCOMPARE(file.RecipientLists[n].Name, expected[n].Name);
            for (int k = 1; k <= 16; ++k) {
                QCOMPARE(t.data.settings.RecipientLists[n].Addresses[k], expected[n].Addresses[k]);
                QCOMPARE(file.RecipientLists[n].Addresses[k], expected[n].Addresses[k]);
            }
        }
        QCOMPARE(file.AccountSettings.SmtpServer, QStringLiteral("smtp.kept.example"));
    }

    void firstFailingAddressAcrossPages()
    {
        Opened t;
        RecipientListTable &lists = t.data.settings.RecipientLists;
        lists[2].Addresses[1] = QStringLiteral("two@plant.example");
        const RecipientListTable before = lists;
        t.open();
        t.type(1, nameBox(1), QStringLiteral("Operators"));
        t.type(2, addressBox(2, 1), QStringLiteral("changed@plant.example"));
        t.type(3, addressBox(3, 5), QStringLiteral("night shift"));
        t.type(1, addressBox(1, 16), QStringLiteral(" <b>nobody "));
        t.type(6, addressBox(6, 2), QStringLiteral("six@plant.example"));

        SeenMessageBox box;
        answerMessageBox(&box, t.dialog);
        t.press("cmdOk");
        QVERIFY(box.seen);
        QCOMPARE(box.caption, QStringLiteral("Invalid Email Address!"));
        QCOMPARE(box.icon, QMessageBox::Information);
        QCOMPARE(box.format, Qt::PlainText);
        QCOMPARE(box.buttons, 1);
        QCOMPARE(box.text, QStringLiteral(
                               " <b>nobody  on email list 1 is not valid.  Please correct before saving."));
        QVERIFY(box.ownerStillOpen);

        // Still open on the page it showed, every edit kept, nothing applied or saved.
        settle();
        QVERIFY(t.dialog);
        QVERIFY(t.dialog->isVisible());
        QCOMPARE(t.tabs()->currentIndex(), 5);
        QCOMPARE(t.box(nameBox(1))->text(), QStringLiteral("Operators"));
        QCOMPARE(t.box(addressBox(2, 1))->text(), QStringLiteral("changed@plant.example"));
        QCOMPARE(t.box(addressBox(6, 2))->text(), QStringLiteral("six@plant.example"));
        QCOMPARE(lists[1].Name, before[1].Name);
        QCOMPARE(lists[2].Addresses[1], before[2].Addresses[1]);
        QVERIFY(!QFile::exists(t.data.iniPath()));

        // Corrected, the next click reports list 3.
        t.type(1, addressBox(1, 16), QStringLiteral("nobody@plant.example"));
        SeenMessageBox second;
        answerMessageBox(&second, t.dialog);
        t.press("cmdOk");
        QVERIFY(second.seen);
        QCOMPARE(second.text, QStringLiteral(
                                  "night shift on email list 3 is not valid.  Please correct before saving."));
        QCOMPARE(t.tabs()->currentIndex(), 0);

        t.type(3, addressBox(3, 5), QStringLiteral("night@plant.example"));
        t.press("cmdOk");
        settle();
        QVERIFY(t.dialog.isNull());
        const Settings file = t.data.readBack();
        QCOMPARE(file.RecipientLists[1].Name, QStringLiteral("Operators"));
        QCOMPARE(file.RecipientLists[1].Addresses[16], QStringLiteral("nobody@plant.example"));
        QCOMPARE(file.RecipientLists[3].Addresses[5], QStringLiteral("night@plant.example"));
        QCOMPARE(file.RecipientLists[6].Addresses[2], QStringLiteral("six@plant.example"));
    }

    void cancelDiscardsTheEdits()
    {
        Opened t;
        t.data.settings.RecipientLists[4].Name = QStringLiteral("Kept");
        t.open();
        t.type(4, nameBox(4), QStringLiteral("Lost"));
        t.press("cmdCancel");
        settle();
        QVERIFY(t.dialog.isNull());
        QCOMPARE(t.data.settings.RecipientLists[4].Name, QStringLiteral("Kept"));
        QVERIFY(!QFile::exists(t.data.iniPath()));
    }

    void pastedLineBreaksBecomeSpaces()
    {
        Opened t;
        t.open();
        QLineEdit *name = t.box(nameBox(1));
        typeInto(name, QString());
        QApplication::clipboard()->setText(QStringLiteral("Day\r\nShift"));
        QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
        t.press("cmdOk");
        QCOMPARE(t.data.readBack().RecipientLists[1].Name, QStringLiteral("Day  Shift"));
    }

    void tabWalksEveryListInOrder()
    {
        Opened t;
        t.open();
        QStringList expected;
        for (int n = 1; n <= 8; ++n) {
            expected << nameBox(n);
            for (int k = 1; k <= 16; ++k) {
                expected << addressBox(n, k);
                if (n == 8 && k == 2)
                    expected << QStringLiteral("tab row");
            }
        }
        expected << QStringLiteral("cmdOk") << QStringLiteral("cmdCancel") << nameBox(1);

        const auto here = [&t] {
            QWidget *w = QApplication::focusWidget();
            if (w == t.tabs()->tabBar())
                return QStringLiteral("tab row");
            // A box of another list than the page shown would be typed into blind.
            const QString name = w->objectName();
            if (!w->isVisible())
                return QStringLiteral("hidden ") + name;
            return name;
        };
        QStringList forward{here()};
        for (qsizetype i = 1; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            forward << here();
        }
        QCOMPARE(forward, expected);
        QCOMPARE(t.tabs()->currentIndex(), 0);

        // Backwards across a page boundary and round the end.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(here(), QStringLiteral("cmdCancel"));
        QTabBar *bar = t.tabs()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(4).center());
        QTest::mouseClick(t.box(nameBox(5)), Qt::LeftButton);
        QCOMPARE(here(), nameBox(5));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(here(), addressBox(4, 16));
        QCOMPARE(t.tabs()->currentIndex(), 3);
    }

    void saveFailureIsShownAndTheDialogCloses()
    {
        Opened t;
        ReadOnlyFolder readOnly;
        QString why;
        if (!readOnly.engage(t.data.folder(), &why))
            QSKIP(qPrintable(why));
        t.open();
        t.type(2, addressBox(2, 2), QStringLiteral("two@plant.example"));
        SeenMessageBox box;
        answerMessageBox(&box, t.dialog);
        t.press("cmdOk");
        QVERIFY(box.seen);
        QCOMPARE(box.caption, QStringLiteral("Error"));
        QCOMPARE(box.format, Qt::PlainText);
        QVERIFY2(box.text.contains(t.data.iniPath()), qPrintable(box.text));
        settle();
        QVERIFY(t.dialog.isNull());
        QCOMPARE(t.data.settings.RecipientLists[2].Addresses[2], QStringLiteral("two@plant.example"));
        QVERIFY(!QFile::exists(t.data.iniPath()));
    }
};

QTEST_MAIN(ListsDialogTest)
#include "tst_lists_dialog.moc"
