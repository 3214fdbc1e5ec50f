// The main window on the offscreen platform, driven by a real service.

#include "ServiceRig.h"

#include "app/MDIMain.h"
#include "app/Service.h"
#include "mail/MailComponent.h"
#include "intake/NotificationQueue.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QBackingStore>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace corvane;
using test::ServiceRig;

namespace {

template <typename T>
T *named(const QWidget &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

QRect twipRect(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

struct Running {
    ServiceRig rig;
    std::unique_ptr<MDIMain> window;

    explicit Running(std::chrono::milliseconds tick = std::chrono::milliseconds(500))
        : rig(tick)
    {
        QString error;
        if (!rig.start(&error))
            qFatal("service did not start: %s", qPrintable(error));
        window = std::make_unique<MDIMain>(rig.service());
    }
};

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void widgetsCarryTheirNamesAndInitialContents()
    {
        Running app;
        const MDIMain &w = *app.window;
        QCOMPARE(w.windowTitle(), QStringLiteral("Corvane"));
        QVERIFY(qobject_cast<QMdiArea *>(w.centralWidget()));
        QVERIFY(named<QWidget>(w, "Picture1"));
        QCOMPARE(named<QGroupBox>(w, "Frame1")->title(), QStringLiteral("Date / Time"));
        QCOMPARE(named<QGroupBox>(w, "Frame2")->title(), QStringLiteral("Email Status"));
        QCOMPARE(named<QLabel>(w, "lblDate")->text(), QString());
        QCOMPARE(named<QLabel>(w, "lblTime")->text(), QStringLiteral("00:00:00"));
        QCOMPARE(named<QListWidget>(w, "lstStatus")->count(), 0);
        QCOMPARE(named<QListWidget>(w, "lstStatus")->selectionMode(),
                 QAbstractItemView::SingleSelection);
        QCOMPARE(named<QLabel>(w, "lblProgress")->text(), QStringLiteral("Progress  "));
        QCOMPARE(named<QLabel>(w, "lblDeferred")->text(), QString());
        QVERIFY(named<QLabel>(w, "lblDeferred")->geometry().right() < named<QLabel>(w, "lblProgress")->x());

        const QIcon icon = w.windowIcon();
        QVERIFY(!icon.isNull());
        QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
        QVERIFY(icon.availableSizes().contains(QSize(32, 32)));

        auto *timeTime = app.rig.service().findChild<QTimer *>(QStringLiteral("timeTime"));
        auto *timeEmail = app.rig.service().findChild<QTimer *>(QStringLiteral("timeEmail"));
        QVERIFY(timeTime && timeEmail);
        QVERIFY(timeTime->isActive() && timeEmail->isActive());
        QCOMPARE(timeTime->interval(), 500);
        QCOMPARE(timeEmail->interval(), 500);
    }

    void layoutFollowsTheDesignInTwips()
    {
        Running app;
        MDIMain &w = *app.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));

        QCOMPARE(named<QGroupBox>(w, "Frame1")->geometry(), twipRect(150, 120, 2535, 1575));
        QCOMPARE(named<QGroupBox>(w, "Frame2")->geometry(), twipRect(2790, 120, 4545, 1575));
        QCOMPARE(named<QLabel>(w, "lblDate")->geometry(), twipRect(540, 390, 1575, 345));
        QCOMPARE(named<QLabel>(w, "lblTime")->geometry(), twipRect(540, 900, 1575, 345));
        QCOMPARE(named<QListWidget>(w, "lstStatus")->geometry(), twipRect(180, 240, 4200, 1035));
        // lblProgress keeps its place and grows where the font needs it to
        // show its longest text whole.
        auto *progress = named<QLabel>(w, "lblProgress");
        const QRect placed = twipRect(1770, 1290, 870, 195);
        QCOMPARE(progress->pos(), placed.topLeft());
        QVERIFY(progress->width() >= placed.width() && progress->height() >= placed.height());
        const QFontMetrics metrics(progress->font());
        QVERIFY(progress->contentsRect().width() >= metrics.horizontalAdvance(QStringLiteral("100% complete")));
        QVERIFY(progress->contentsRect().height() >= metrics.height());

        // The top panel spans the window directly under the menu bar, above the MDI area.
        auto *picture = named<QWidget>(w, "Picture1");
        QCOMPARE(picture->height(), 1905 / 15);
        const QRect panel(picture->mapTo(&w, QPoint(0, 0)), picture->size());
        QCOMPARE(panel.top(), w.menuBar()->geometry().bottom() + 1);
        QCOMPARE(panel.width(), w.width());
        QVERIFY(w.centralWidget()->geometry().top() >= panel.bottom());
    }

    void coloursAndFonts()
    {
        Running app;
        MDIMain &w = *app.window;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QImage image = w.grab().toImage();
        const auto pixelAt = [&](QWidget *widget, QPoint inside) {
            const qreal ratio = image.devicePixelRatio();
            const QPoint p = widget->mapTo(&w, inside) * ratio;
            return image.pixelColor(p);
        };

        auto *picture = named<QWidget>(w, "Picture1");
        QCOMPARE(pixelAt(picture, QPoint(3, 3)), QColor(64, 64, 64));
        QCOMPARE(pixelAt(picture, QPoint(picture->width() - 3, picture->height() - 3)), QColor(64, 64, 64));
        // The MDI area begins right under the band, with no line of another colour.
        QWidget *mdi = w.centralWidget();
        const QColor workspace = pixelAt(mdi, QPoint(mdi->width() / 2, mdi->height() / 2));
        QCOMPARE(pixelAt(picture, QPoint(picture->width() / 2, picture->height())), workspace);

        // Captions and the progress text are drawn white on the grey band.
        const auto hasWhiteText = [&](QWidget *widget, QRect area) {
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    if (pixelAt(widget, QPoint(x, y)).lightness() > 230)
                        return true;
            return false;
        };
        auto *frame1 = named<QGroupBox>(w, "Frame1");
        QVERIFY(hasWhiteText(frame1, QRect(0, 0, frame1->width(), 12)));
        auto *progress = named<QLabel>(w, "lblProgress");
        QVERIFY(hasWhiteText(progress, progress->rect()));

        auto *lblDate = named<QLabel>(w, "lblDate");
        QCOMPARE(pixelAt(lblDate, QPoint(2, 2)), QColor(Qt::black));
        QCOMPARE(lblDate->palette().color(QPalette::WindowText), QColor(0, 255, 255));
        auto *lblProgress = named<QLabel>(w, "lblProgress");
        QCOMPARE(lblProgress->palette().color(QPalette::WindowText), QColor(Qt::white));
        auto *lstStatus = named<QListWidget>(w, "lstStatus");
        QCOMPARE(lstStatus->palette().color(QPalette::Base), w.palette().color(QPalette::Button));

        for (const char *name : {"lblDate", "lblTime"}) {
            const QFont font = named<QLabel>(w, name)->font();
            QCOMPARE(font.families().value(0), QStringLiteral("MS Sans Serif"));
            QVERIFY(font.bold());
            QCOMPARE(font.pointSizeF(), 9.75);
        }
        QCOMPARE(lblProgress->font().pointSizeF(), 8.25);
        QVERIFY(lblProgress->font().bold());
        // Whatever the system has, the labels are drawn in a real face.
        QVERIFY(!QFontInfo(lblDate->font()).family().isEmpty());
    }

    void clockShowsDateAndTimeInFixedForm_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::newRow("C") << QLocale::c();
        QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany);
        QTest::newRow("Arabic digits") << QLocale(QLocale::Arabic, QLocale::Egypt);
        QTest::newRow("US 12-hour") << QLocale(QLocale::English, QLocale::UnitedStates);
    }

    void clockShowsDateAndTimeInFixedForm()
    {
        QFETCH(QLocale, locale);
        const QLocale previous;
        QLocale::setDefault(locale);
        Running app(std::chrono::milliseconds(20));
        app.rig.setNow(QDateTime(QDate(2026, 7, 4), QTime(15, 6, 7)));
        QSignalSpy ticked(&app.rig.service(), &Service::clockTicked);
        QVERIFY(ticked.wait(5000));
        QLocale::setDefault(previous);

        QCOMPARE(named<QLabel>(*app.window, "lblDate")->text(), QStringLiteral("07-04-2026"));
        QCOMPARE(named<QLabel>(*app.window, "lblTime")->text(), QStringLiteral("15:06:07"));
    }

    void clockReadsTheTimeOncePerTickAndFollowsMidnight()
    {
        Running app(std::chrono::milliseconds(20));
        auto *lblDate = named<QLabel>(*app.window, "lblDate");
        auto *lblTime = named<QLabel>(*app.window, "lblTime");
        QSignalSpy ticked(&app.rig.service(), &Service::clockTicked);

        app.rig.setNow(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 900)));
        QVERIFY(ticked.wait(5000));
        QCOMPARE(lblDate->text(), QStringLiteral("12-31-2026"));
        QCOMPARE(lblTime->text(), QStringLiteral("23:59:59"));

        app.rig.setNow(QDateTime(QDate(2027, 1, 1), QTime(0, 0, 0, 100)));
        const int readingsBefore = app.rig.clockReadings();
        const int ticksBefore = static_cast<int>(ticked.count());
        QTRY_VERIFY_WITH_TIMEOUT(ticked.count() >= ticksBefore + 5, 5000);
        QCOMPARE(lblDate->text(), QStringLiteral("01-01-2027"));
        QCOMPARE(lblTime->text(), QStringLiteral("00:00:00"));
        // Nothing is logged meanwhile, so every reading belongs to a tick.
        QCOMPARE(app.rig.clockReadings() - readingsBefore,
                 static_cast<int>(ticked.count()) - ticksBefore);
    }

    void menusInOrderWithTheirCaptions()
    {
        Running app;
        const QList<QAction *> top = app.window->menuBar()->actions();
        QStringList captions;
        for (QAction *action : top)
            captions << action->text();
        QCOMPARE(captions, QStringList({QStringLiteral("File"), QStringLiteral("Settings"),
                                        QStringLiteral("Test"), QStringLiteral("About")}));

        const auto itemsOf = [](QAction *action) {
            QStringList items;
            if (action->menu())
                for (QAction *item : action->menu()->actions())
                    items << item->objectName() + QLatin1Char('=') + item->text();
            return items;
        };
        QCOMPARE(top.at(0)->menu()->objectName(), QStringLiteral("menuFile"));
        QCOMPARE(itemsOf(top.at(0)), QStringList({QStringLiteral("menuFileExit=Exit")}));
        QCOMPARE(top.at(1)->menu()->objectName(), QStringLiteral("menuSet"));
        QCOMPARE(itemsOf(top.at(1)),
                 QStringList({QStringLiteral("menuSetEmailLists=Email Lists"),
                              QStringLiteral("menuSetEmailAccount=Sending Email Account"),
                              QStringLiteral("menuSetOAuth=OAuth Sign-In"),
                              QStringLiteral("menuSetDelivery=Delivery")}));
        QCOMPARE(top.at(2)->menu()->objectName(), QStringLiteral("menuTest"));
        QCOMPARE(itemsOf(top.at(2)), QStringList({QStringLiteral("menuTestEmail=Test Email")}));
        QCOMPARE(top.at(3)->objectName(), QStringLiteral("menuAbout"));
        QVERIFY(top.at(3)->menu() == nullptr);
    }

    void closingLogsProgramClosedExactlyOnce()
    {
        Running app;
        QSignalSpy stopped(&app.rig.service(), &Service::stopped);
        app.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window.get()));
        QVERIFY(app.window->close());
        app.window->close();
        app.rig.service().requestClose();
        QVERIFY(stopped.wait(3000));
        QTest::qWait(50);
        QCOMPARE(stopped.count(), 1);
        QCOMPARE(app.rig.logMessages(),
                 QStringList({QStringLiteral("Program Started"), QStringLiteral("Program Closed")}));
        // Closing ends the timers and the command port with it.
        QVERIFY(!app.rig.service().findChild<QTimer *>(QStringLiteral("timeEmail"))->isActive());
        QVERIFY(app.rig.service().endpoint() == nullptr);
    }

    void exitEndsWithoutTheLine()
    {
        Running app;
        QSignalSpy stopped(&app.rig.service(), &Service::stopped);
        app.window->show();
        named<QAction>(*app.window, "menuFileExit")->trigger();
        QVERIFY(stopped.wait(3000));
        // The window going away afterwards is not a close request of its own.
        app.window->close();
        app.window.reset();
        QCOMPARE(app.rig.logMessages(), QStringList({QStringLiteral("Program Started")}));
    }

    void aboutChangesNothing()
    {
        Running app;
        app.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window.get()));
        QSignalSpy stopped(&app.rig.service(), &Service::stopped);
        QWidgetList visibleBefore;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->isVisible())
                visibleBefore << widget;
        const QStringList logBefore = app.rig.logMessages();
        const QImage pictureBefore = app.window->grab().toImage();

        auto *about = named<QAction>(*app.window, "menuAbout");
        QVERIFY(!about->menu());
        QSignalSpy chosen(about, &QAction::triggered);
        about->trigger();
        QCOMPARE(chosen.count(), 1); // it really was chosen
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();

        QWidgetList visibleAfter;
        for (QWidget *widget : QApplication::topLevelWidgets())
            if (widget->isVisible())
                visibleAfter << widget;
        QCOMPARE(visibleAfter, visibleBefore);
        QCOMPARE(app.window->grab().toImage(), pictureBefore);
        QCOMPARE(app.rig.logMessages(), logBefore);
        QCOMPARE(stopped.count(), 0);
    }

    void dialogItemsShowOneInstanceWithFocus()
    {
        Running app;
        app.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window.get()));
        int made = 0;
        app.window->setDialogFactory(MDIMain::Dialog::EmailTest, [&made](QWidget *parent) {
            ++made;
            auto *dialog = new QDialog(parent);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            return dialog;
        });
        auto *item = named<QAction>(*app.window, "menuTestEmail");

        item->trigger();
        item->trigger();
        QCOMPARE(made, 1);
        QPointer<QWidget> dialog = app.window->dialogInstance(MDIMain::Dialog::EmailTest);
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QVERIFY(!dialog->isModal());
        QTRY_VERIFY_WITH_TIMEOUT(dialog->isActiveWindow(), 3000);

        // Released when it closes; the next choice makes a new one.
        dialog->close();
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isNull(), 3000);
        QVERIFY(app.window->dialogInstance(MDIMain::Dialog::EmailTest) == nullptr);
        item->trigger();
        QCOMPARE(made, 2);

        // Items without a dialog yet open nothing and change nothing.
        const int windows = static_cast<int>(QApplication::topLevelWidgets().size());
        named<QAction>(*app.window, "menuSetEmailLists")->trigger();
        named<QAction>(*app.window, "menuSetEmailAccount")->trigger();
        QCOMPARE(static_cast<int>(QApplication::topLevelWidgets().size()), windows);
    }

    void sendEventsReachTheWindowAndTheLog()
    {
        Running app;
        app.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window.get()));
        MailComponent *mail = app.rig.service().mailComponent();
        auto *lstStatus = named<QListWidget>(*app.window, "lstStatus");
        auto *lblProgress = named<QLabel>(*app.window, "lblProgress");

        for (int i = 1; i <= 12; ++i)
            emit mail->Status(QStringLiteral("line %1").arg(i));
        QCOMPARE(lstStatus->count(), 12);
        QCOMPARE(lstStatus->item(11)->text(), QStringLiteral("line 12"));
        QVERIFY(lstStatus->selectedItems().isEmpty());
        // The newest line has been scrolled into view.
        const QRect last = lstStatus->visualItemRect(lstStatus->item(11));
        QVERIFY(lstStatus->viewport()->rect().contains(last.center()));
        QCOMPARE(app.rig.countLogged(QStringLiteral("Status:line 12")), 1);

        // An empty status is still a line, and logged as the bare prefix.
        emit mail->Status(QString());
        QCOMPARE(lstStatus->count(), 13);
        QCOMPARE(lstStatus->item(12)->text(), QString());
        QCOMPARE(app.rig.logMessages().last(), QStringLiteral("Status:"));

        const QStringList logBefore = app.rig.logMessages();
        const std::pair<int, const char *> percentages[] = {
            {0, "0% complete"}, {45, "45% complete"}, {100, "100% complete"}, {-1, "-1% complete"},
            {12345, "12345% complete"}};
        for (const auto &[percent, text] : percentages) {
            emit mail->Progress(percent);
            QCOMPARE(lblProgress->text(), QString::fromLatin1(text));
        }
        emit mail->SendSuccesful();
        QCOMPARE(lblProgress->text(), QString());
        emit mail->Progress(10);
        emit mail->SendFailed(QStringLiteral("secret reason"));
        QCOMPARE(lblProgress->text(), QString());
        // Progress and outcomes are shown, never logged; the explanation nowhere.
        QCOMPARE(app.rig.logMessages(), logBefore);
        QCOMPARE(lstStatus->count(), 13);

        auto *lblDeferred = named<QLabel>(*app.window, "lblDeferred");
        emit app.rig.service().deferredCountChanged(3);
        QCOMPARE(lblDeferred->text(), QStringLiteral("3 deferred"));
        emit app.rig.service().deferredCountChanged(0);
        QCOMPARE(lblDeferred->text(), QString());

        // Alarms held for a digest: one line at the top, kept when the list
        // is cleared for a send, gone when none wait.
        emit app.rig.service().digestWaitingChanged(12);
        QCOMPARE(lstStatus->count(), 14);
        QCOMPARE(lstStatus->item(0)->text(), QStringLiteral("12 alarms waiting for a digest"));
        emit app.rig.service().digestWaitingChanged(1);
        QCOMPARE(lstStatus->count(), 14);
        QCOMPARE(lstStatus->item(0)->text(), QStringLiteral("1 alarm waiting for a digest"));
        emit app.rig.service().statusCleared();
        QCOMPARE(lstStatus->count(), 1);
        QCOMPARE(lstStatus->item(0)->text(), QStringLiteral("1 alarm waiting for a digest"));
        emit app.rig.service().digestWaitingChanged(0);
        QCOMPARE(lstStatus->count(), 0);
    }

    void statusAreaOnScreenCatchesUpWithARushOfChanges()
    {
        Running app;
        app.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window.get()));
        MailComponent *mail = app.rig.service().mailComponent();
        auto *lstStatus = named<QListWidget>(*app.window, "lstStatus");
        auto *frame2 = named<QGroupBox>(*app.window, "Frame2");
        auto *image = dynamic_cast<QImage *>(app.window->backingStore()->paintDevice());
        QVERIFY(image);
        // What the window's own pixels hold for a widget, against a fresh
        // rendering of that part of the window in its current state.
        const auto onScreen = [&](QWidget *widget) {
            const qreal ratio = image->devicePixelRatio();
            const QRect area(widget->mapTo(app.window.get(), QPoint(0, 0)) * ratio, widget->size() * ratio);
            return image->copy(area).convertToFormat(QImage::Format_RGB32);
        };
        const auto rendered = [&](QWidget *widget) {
            const QRect area(widget->mapTo(app.window.get(), QPoint(0, 0)), widget->size());
            return app.window->grab(area).toImage().convertToFormat(QImage::Format_RGB32);
        };
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(lstStatus), rendered(lstStatus), 5000);

        // Far more changes than the screen can show, in one go and then
        // spread over several event-loop rounds: the widgets hold each change
        // at once, and the pixels follow within moments of the last one.
        for (int round = 0; round < 5; ++round) {
            emit mail->Status(QStringLiteral("rush %1").arg(round));
            for (int i = 0; i < 20; ++i) {
                emit mail->Progress(i * 5);
                emit mail->Status(QStringLiteral("step %1.%2").arg(round).arg(i));
            }
            QCOMPARE(lstStatus->item(lstStatus->count() - 1)->text(),
                     QStringLiteral("step %1.19").arg(round));
            QCOMPARE(named<QLabel>(*app.window, "lblProgress")->text(), QStringLiteral("95% complete"));
            QCoreApplication::processEvents();
        }
        emit mail->Status(QStringLiteral("the last line"));
        QTRY_VERIFY_WITH_TIMEOUT(frame2->updatesEnabled(), 2000);
        const QRect last = lstStatus->visualItemRect(lstStatus->item(lstStatus->count() - 1));
        QVERIFY(lstStatus->viewport()->rect().contains(last.center()));
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(lstStatus), rendered(lstStatus), 2000);
        QTRY_COMPARE_WITH_TIMEOUT(onScreen(named<QLabel>(*app.window, "lblProgress")),
                                  rendered(named<QLabel>(*app.window, "lblProgress")), 2000);
    }

    void operatorScrollHoldsUntilTheNextLine()
    {
        Running app;
        app.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window.get()));
        MailComponent *mail = app.rig.service().mailComponent();
        auto *lstStatus = named<QListWidget>(*app.window, "lstStatus");
        for (int i = 1; i <= 12; ++i)
            emit mail->Status(QStringLiteral("line %1").arg(i));
        QTRY_VERIFY(lstStatus->viewport()->rect().contains(
            lstStatus->visualItemRect(lstStatus->item(11)).center()));

        // The operator scrolls back to read the first lines; the list stays
        // there while nothing new arrives, also across layouts.
        QScrollBar *bar = lstStatus->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        bar->triggerAction(QAbstractSlider::SliderToMinimum);
        QCOMPARE(bar->value(), 0);
        lstStatus->doItemsLayout();
        QTest::qWait(50);
        QCOMPARE(bar->value(), 0);
        QVERIFY(lstStatus->viewport()->rect().contains(
            lstStatus->visualItemRect(lstStatus->item(0)).center()));

        // A new line is brought into view again.
        emit mail->Status(QStringLiteral("line 13"));
        QVERIFY(lstStatus->viewport()->rect().contains(
            lstStatus->visualItemRect(lstStatus->item(12)).center()));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(lstStatus->selectedItems().isEmpty());
    }

    void statusListHoldsTheLinesOfTheLastSendOnly()
    {
        QTemporaryDir out;
        const quint16 port = test::freeTcpPort();
        test::PeerProcess smtp;
        QVERIFY2(smtp.start(QString::fromLatin1(test::SystemPython),
                            {test::supportDir() + QStringLiteral("/smtp_capture.py"),
                             QStringLiteral("--port"), QString::number(port),
                             QStringLiteral("--out"), out.path()},
                            QStringLiteral("READY")),
                 smtp.output().constData());

        Running app(std::chrono::milliseconds(50));
        Settings &settings = app.rig.service().settings();
        settings.AccountSettings.SmtpServer = QStringLiteral("127.0.0.1:%1").arg(port);
        settings.AccountSettings.SenderEmail = QStringLiteral("corvane@example.com");
        settings.RecipientLists[1].Name = QStringLiteral("Operators");
        settings.RecipientLists[1].Addresses[1] = QStringLiteral("ops@example.com");
        NotificationQueue *queue = app.rig.service().queue();
        QCOMPARE(queue->QueueEmail(1, QStringLiteral("first"), QStringLiteral("one")), QueueResult::Queued);
        QCOMPARE(queue->QueueEmail(1, QStringLiteral("second"), QStringLiteral("two")), QueueResult::Queued);

        QTRY_COMPARE_WITH_TIMEOUT(test::readFiles(out.path(), QStringLiteral(".eml")).size(), 2, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!app.rig.service().mailComponent()->isSending(), 10000);
        QTest::qWait(50);

        const QStringList log = app.rig.logMessages();
        const qsizetype lastSend = log.lastIndexOf(QStringLiteral("Send email:second"));
        QVERIFY(lastSend > log.indexOf(QStringLiteral("Send email:first")));
        QStringList expected;
        for (qsizetype i = lastSend + 1; i < log.size(); ++i)
            if (log.at(i).startsWith(QStringLiteral("Status:")))
                expected << log.at(i).mid(7);
        QVERIFY(!expected.isEmpty());
        QStringList shown;
        auto *lstStatus = named<QListWidget>(*app.window, "lstStatus");
        for (int i = 0; i < lstStatus->count(); ++i)
            shown << lstStatus->item(i)->text();
        QCOMPARE(shown, expected);
        QCOMPARE(named<QLabel>(*app.window, "lblProgress")->text(), QString());
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
