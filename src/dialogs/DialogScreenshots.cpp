// Renders the dialogs into PNGs for the README:
//   QT_QPA_PLATFORM=offscreen corvane-dialog-screenshots docs/
// writes dialog-account.png, dialog-lists.png, dialog-lists-page3.png,
// dialog-oauth.png, dialog-delivery.png and dialog-test.png, filled with a made-up plant's settings.

#include "dialogs/frmEmailTest.h"
#include "dialogs/frmSetDelivery.h"
#include "dialogs/frmSetEmailAccount.h"
#include "dialogs/frmSetEmailLists.h"
#include "dialogs/frmSetOAuth.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "storage/Clock.h"
#include "storage/Settings.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

corvane::Settings plantSettings(const QString &folder)
{
    corvane::Settings settings;
    settings.SettingsFilePath = folder + QStringLiteral("/Corvane.ini");
    corvane::AccountSettingsRecord &account = settings.AccountSettings;
    account.SmtpServer = QStringLiteral("mail.plant.example");
    account.Pop3Server = QStringLiteral("pop.plant.example");
    account.SenderName = QStringLiteral("Boiler House Alarms");
    account.SenderEmail = QStringLiteral("alarms@plant.example");
    account.UserName = QStringLiteral("alarms");
    account.UserPassword = QStringLiteral("********");
    account.UseMime = true;
    account.Priority = 1;
    account.UseLogin = true;
    account.MaxPerMinute = 30;
    account.DigestSeconds = 30;
    settings.RecipientLists[1].Name = QStringLiteral("Operators");
    settings.RecipientLists[1].Addresses[1] = QStringLiteral("shift.lead@plant.example");
    settings.RecipientLists[1].Addresses[2] = QStringLiteral("control.room@plant.example");
    settings.RecipientLists[1].Addresses[9] = QStringLiteral("standby@plant.example");
    settings.RecipientLists[3].Name = QStringLiteral("Night Shift");
    settings.RecipientLists[3].Addresses[1] = QStringLiteral("night@plant.example");
    settings.RecipientLists[3].Addresses[2] = QStringLiteral("on.call@plant.example");
    settings.RecipientLists[8].Name = QStringLiteral("Maintenance");
    corvane::OAuthSettingsRecord &oauth = settings.OAuth;
    oauth.Provider = QStringLiteral("Microsoft");
    oauth.Tenant = QStringLiteral("plant.example");
    oauth.ClientId = QStringLiteral("5f1c0d2e-8a3b-4c7d-9e6f-0a1b2c3d4e5f");
    oauth.ClientSecret = QStringLiteral("made-up secret");
    return settings;
}

bool render(QWidget *dialog, const QString &file)
{
    dialog->show();
    if (!QTest::qWaitForWindowExposed(dialog))
        return false;
    QCoreApplication::processEvents();
    const bool ok = dialog->grab().save(file, "PNG");
    if (ok)
        std::printf("%s\n", qPrintable(file));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvane-dialog-screenshots OUTPUT-FOLDER\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QTemporaryDir folder;
    if (!folder.isValid() || !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "corvane-dialog-screenshots: no temporary or output folder\n");
        return 1;
    }
    corvane::Settings settings = plantSettings(folder.path());
    corvane::ActivityLog log(folder.path() + QStringLiteral("/Logs"), corvane::systemClock());
    corvane::NotificationQueue queue(settings.RecipientLists, log);

    // Each dialog is a window of its own, as when the main window opens it.
    QWidget owner;
    bool ok = render(new corvane::frmSetEmailAccount(settings, &owner),
                     out.filePath(QStringLiteral("dialog-account.png")));
    auto *lists = new corvane::frmSetEmailLists(settings, &owner);
    ok = render(lists, out.filePath(QStringLiteral("dialog-lists.png"))) && ok;
    lists->findChild<QTabWidget *>(QStringLiteral("SSTab1"))->setCurrentIndex(2);
    ok = render(lists, out.filePath(QStringLiteral("dialog-lists-page3.png"))) && ok;
    ok = render(new corvane::frmSetOAuth(settings, &owner),
                out.filePath(QStringLiteral("dialog-oauth.png")))
         && ok;
    ok = render(new corvane::frmSetDelivery(settings, &owner),
                out.filePath(QStringLiteral("dialog-delivery.png")))
         && ok;
    ok = render(new corvane::frmEmailTest(settings.RecipientLists, queue, &owner),
                out.filePath(QStringLiteral("dialog-test.png")))
         && ok;
    if (!ok)
        std::fprintf(stderr, "corvane-dialog-screenshots: a picture could not be written\n");
    return ok ? 0 : 1;
}
