#include "DialogTestSupport.h"

#include "storage/SettingsStore.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

namespace corvane::test {

ProgramData::ProgramData()
    : log(QDir(m_dir.path()).filePath(QStringLiteral("Logs")),
          [] { return QDateTime(QDate(2026, 12, 7), QTime(8, 30, 0)); })
    , queue(settings.RecipientLists, log)
{
    settings.SettingsFilePath = QDir(m_dir.path()).filePath(QStringLiteral("Corvane.ini"));
}

Settings ProgramData::readBack() const
{
    Settings fromFile;
    fromFile.SettingsFilePath = settings.SettingsFilePath;
    (void)LoadAllSettings(fromFile); // a file the test could not read shows as defaults
    return fromFile;
}

QByteArray ProgramData::logged() const
{
    return readFiles(QDir(folder()).filePath(QStringLiteral("Logs")), QStringLiteral(".TXT")).join();
}

bool Driver::show(QWidget *window)
{
    dialog = window;
    window->show();
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

QWidget *Driver::get(const QString &name) const
{
    auto *w = dialog ? dialog->findChild<QWidget *>(name) : nullptr;
    if (!w)
        qFatal("no control %s", qPrintable(name));
    return w;
}

QString Driver::text(const QString &box) const
{
    return qobject_cast<QLineEdit *>(get(box))->text();
}

void Driver::type(const QString &box, const QString &text) const
{
    QWidget *w = get(box);
    if (!w->isVisible()) {
        auto *tabs = dialog->findChild<QTabWidget *>();
        QWidget *page = w;
        while (!qobject_cast<QStackedWidget *>(page->parentWidget()))
            page = page->parentWidget();
        QTabBar *bar = tabs->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tabs->indexOf(page)).center());
    }
    QTest::mouseClick(w, Qt::LeftButton);
    QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(w, Qt::Key_Delete);
    QTest::keyClicks(w, text);
}

void Driver::press(const QString &button) const
{
    QTest::mouseClick(get(button), Qt::LeftButton);
}

QStringList Driver::tabWalk(int presses)
{
    QStringList seen{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < presses; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *w = QApplication::focusWidget();
        // A focused box on a page not shown would be typed into blind.
        seen << (w->isVisible() ? w->objectName() : QStringLiteral("hidden"));
    }
    return seen;
}

void answerMessageBox(SeenMessageBox *seen, QWidget *owner)
{
    auto *poll = new QTimer;
    const QDeadlineTimer deadline(5000);
    const QPointer<QWidget> watched(owner);
    auto rounds = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || QApplication::activeWindow() != box || ++*rounds < 2) {
            if (deadline.hasExpired())
                poll->deleteLater();
            return;
        }
        poll->deleteLater();
        *seen = {true, box->windowTitle(), box->text(), box->icon(),
                 box->textFormat() == Qt::PlainText, box->buttons().size() == 1,
                 watched && watched->isVisible()};
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    poll->start(10);
}

void settle()
{
    for (int round = 0; round < 3; ++round) {
        bool ran = false;
        QMetaObject::invokeMethod(qApp, [&ran] { ran = true; }, Qt::QueuedConnection);
        for (int i = 0; i < 100 && !ran; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

} // namespace corvane::test
