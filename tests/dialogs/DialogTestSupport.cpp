#include "DialogTestSupport.h"

#include "storage/Clock.h"
#include "storage/SettingsStore.h"
#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTest>
#include <QTimer>

namespace corvane::test {

namespace {

Settings settingsIn(const QString &folder)
{
    Settings settings;
    settings.SettingsFilePath = QDir(folder).filePath(QStringLiteral("Corvane.ini"));
    return settings;
}

} // namespace

ProgramData::ProgramData()
    : settings(settingsIn(m_dir.path()))
    , log(QDir(m_dir.path()).filePath(QStringLiteral("Logs")),
          [] { return QDateTime(QDate(2026, 12, 7), QTime(8, 30, 0)); })
    , queue(settings.RecipientLists, log)
{
}

Settings ProgramData::readBack() const
{
    Settings fromFile;
    fromFile.SettingsFilePath = settings.SettingsFilePath;
    LoadAllSettings(fromFile);
    return fromFile;
}

QByteArray ProgramData::logged() const
{
    QByteArray all;
    for (const QByteArray &file : readFiles(QDir(folder()).filePath(QStringLiteral("Logs")),
                                            QStringLiteral(".TXT")))
        all += file;
    return all;
}

void answerMessageBox(SeenMessageBox *seen, QWidget *owner)
{
    auto *poll = new QTimer;
    const QDeadlineTimer deadline(5000);
    const QPointer<QWidget> watched(owner);
    auto activeRounds = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || QApplication::activeWindow() != box) {
            if (deadline.hasExpired())
                poll->deleteLater();
            return;
        }
        // One more round, so a check queued by the box becoming active has run.
        if (++*activeRounds < 2)
            return;
        poll->stop();
        poll->deleteLater();
        seen->seen = true;
        seen->caption = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->format = box->textFormat();
        seen->buttons = static_cast<int>(box->buttons().size());
        seen->ownerStillOpen = watched && watched->isVisible();
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
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

void typeInto(QWidget *box, const QString &text)
{
    box->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty())
        QTest::keyClick(box, Qt::Key_Delete);
    else
        QTest::keyClicks(box, text);
}

bool showActive(QWidget *dialog)
{
    dialog->show();
    dialog->activateWindow();
    return QTest::qWaitForWindowActive(dialog);
}

} // namespace corvane::test
