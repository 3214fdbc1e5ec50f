// The test email dialog, driven with keys and clicks on the offscreen platform.
// What it queued is read back from the activity log, where QueueEmail writes it.

#include "DialogTestSupport.h"

#include "dialogs/frmEmailTest.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

struct Opened {
    ProgramData data;
    QWidget owner;
    QPointer<frmEmailTest> dialog;

    Opened()
    {
        RecipientListTable &lists = data.settings.RecipientLists;
        for (int n = 1; n <= 8; ++n) {
            if (n != 6) // list 6 stays without any address
                lists[n].Addresses[2] = QStringLiteral("list%1@plant.example").arg(n);
        }
    }
    void open()
    {
        dialog = new frmEmailTest(data.settings.RecipientLists, data.queue, &owner);
        if (!showActive(dialog))
            qFatal("the test dialog did not become active");
    }
    QComboBox *list() const { return child<QComboBox>(dialog, QStringLiteral("cmbList")); }
    QLineEdit *subject() const { return child<QLineEdit>(dialog, QStringLiteral("txtSubject")); }
    QLineEdit *text() const { return child<QLineEdit>(dialog, QStringLiteral("txtText")); }
    void press(const char *button)
    {
        QTest::mouseClick(child<QPushButton>(dialog, QString::fromLatin1(button)), Qt::LeftButton);
    }
};

} // namespace

class TestDialogTest : public QObject {
    Q_OBJECT

private slots:
    void entriesNameEveryList()
    {
        Opened t;
        t.data.settings.RecipientLists[3].Name = QStringLiteral("Night Shift");
        t.data.settings.RecipientLists[8].Name = QStringLiteral(" Padded ");
        t.open();
        QComboBox *list = t.list();
        QVERIFY(!list->isEditable());
        QCOMPARE(list->count(), 8);
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(list->itemText(2), QStringLiteral("List 3 / Night Shift"));
        QCOMPARE(list->itemText(4), QStringLiteral("List 5 / "));
        QCOMPARE(list->itemText(7), QStringLiteral("List 8 /  Padded "));
        QCOMPARE(QApplication::focusWidget(), list);
        QVERIFY(t.subject()->text().isEmpty());
        QVERIFY(t.text()->text().isEmpty());
    }

    void blankFieldsAreRefused_data()
    {
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");

        const QString noSubject = QStringLiteral("Please add a subject to this email and try again.");
        const QString noText = QStringLiteral("Please add text to this email and try again.");
        QTest::newRow("both blank") << "" << "" << noSubject;
        QTest::newRow("subject of spaces") << "    " << "Pressure high" << noSubject;
        QTest::newRow("text blank") << "Boiler 2" << "" << noText;
        QTest::newRow("text of spaces") << "Boiler 2" << "   " << noText;
    }

    void blankFieldsAreRefused()
    {
        QFETCH(QString, subject);
        QFETCH(QString, text);
        QFETCH(QString, message);
        Opened t;
        t.open();
        typeInto(t.subject(), subject);
        typeInto(t.text(), text);
        SeenMessageBox box;
        answerMessageBox(&box, t.dialog);
        t.press("cmdSend");
        QVERIFY(box.seen);
        QCOMPARE(box.caption, QStringLiteral("Error"));
        QCOMPARE(box.text, message);
        QCOMPARE(box.icon, QMessageBox::NoIcon);
        QCOMPARE(box.format, Qt::PlainText);
        QCOMPARE(box.buttons, 1);
        QVERIFY(box.ownerStillOpen);
        settle();
        QVERIFY(t.dialog);
        QVERIFY(t.dialog->isVisible());
        QCOMPARE(t.subject()->text(), subject);
        QCOMPARE(t.text()->text(), text);
        QVERIFY(t.data.logged().isEmpty());
    }

    void sendQueuesForTheChosenList_data()
    {
        QTest::addColumn<int>("downs"); // Down key presses on the list box
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("logged");

        QTest::newRow("fourth entry, trimmed")
            << 3 << " Boiler 2 " << "  Pressure 8.7 bar "
            << QByteArray("Address: list4@plant.example\r\nSubject: Boiler 2\r\nText: Pressure 8.7 bar\r\n");
        QTest::newRow("first entry untouched")
            << 0 << "Test" << "It works"
            << QByteArray("Address: list1@plant.example\r\nSubject: Test\r\nText: It works\r\n");
        QTest::newRow("list without addresses: nothing")
            << 5 << "Test" << "Nobody reads this" << QByteArray();
    }

    void sendQueuesForTheChosenList()
    {
        QFETCH(int, downs);
        QFETCH(QString, subject);
        QFETCH(QString, text);
        QFETCH(QByteArray, logged);
        Opened t;
        t.open();
        for (int i = 0; i < downs; ++i)
            QTest::keyClick(t.list(), Qt::Key_Down);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClicks(QApplication::focusWidget(), subject);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClicks(QApplication::focusWidget(), text);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("cmdSend"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        settle();
        QVERIFY(t.dialog.isNull());
        const QByteArray log = t.data.logged();
        if (logged.isEmpty())
            QVERIFY(log.isEmpty());
        else
            QVERIFY2(log.contains(logged), log.constData());
    }

    void pastedLineBreaksBecomeSpaces()
    {
        Opened t;
        t.open();
        QApplication::clipboard()->setText(QStringLiteral("Boiler\r\nBcc: everyone@example.com"));
        t.subject()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(t.subject(), Qt::Key_V, Qt::ControlModifier);
        QApplication::clipboard()->setText(QStringLiteral("line one\nline two"));
        t.text()->setFocus(Qt::TabFocusReason);
        QTest::keyClick(t.text(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(t.subject()->text(), QStringLiteral("Boiler  Bcc: everyone@example.com"));
        QCOMPARE(t.text()->text(), QStringLiteral("line one line two"));
        t.press("cmdSend");
        QVERIFY(t.data.logged().contains(
            "Subject: Boiler  Bcc: everyone@example.com\r\nText: line one line two\r\n"));
    }

    void focusOrder()
    {
        Opened t;
        t.open();
        QStringList seen{QApplication::focusWidget()->objectName()};
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            seen << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(seen, (QStringList{"cmbList", "txtSubject", "txtText", "cmdSend", "cmdCancel",
                                    "cmbList"}));
    }

    void fullQueueIsReportedAndTheDialogStays()
    {
        Opened t;
        // Fill every slot the queue can hold; the dispatcher is not running here.
        int stored = 0;
        while (t.data.queue.QueueEmail(1, QStringLiteral("s"), QStringLiteral("t"))
               == QueueResult::Queued)
            ++stored;
        QVERIFY(stored > 0);
        const qsizetype logSize = t.data.logged().size();
        t.open();
        typeInto(t.subject(), QStringLiteral("Boiler 2"));
        typeInto(t.text(), QStringLiteral("Pressure high"));
        SeenMessageBox box;
        answerMessageBox(&box, t.dialog);
        t.press("cmdSend");
        QVERIFY(box.seen);
        QCOMPARE(box.caption, QStringLiteral("Error"));
        QCOMPARE(box.format, Qt::PlainText);
        QVERIFY(!box.text.isEmpty());
        settle();
        QVERIFY(t.dialog);
        QVERIFY(t.dialog->isVisible());
        QCOMPARE(t.subject()->text(), QStringLiteral("Boiler 2"));
        QCOMPARE(t.data.logged().size(), logSize);
        // Still usable: Cancel closes it.
        t.press("cmdCancel");
        settle();
        QVERIFY(t.dialog.isNull());
    }
};

QTEST_MAIN(TestDialogTest)
#include "tst_test_dialog.moc"
