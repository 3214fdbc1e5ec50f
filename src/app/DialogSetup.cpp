#include "app/DialogSetup.h"

#include "app/MDIMain.h"
#include "app/Service.h"
#include "dialogs/frmEmailTest.h"
#include "dialogs/frmSetDelivery.h"
#include "dialogs/frmSetEmailAccount.h"
#include "dialogs/frmSetEmailLists.h"
#include "dialogs/frmSetOAuth.h"
#include "storage/Settings.h"

namespace corvane {

void installDialogs(MDIMain &window, Service &service)
{
    Settings &settings = service.settings();
    window.setDialogFactory(MDIMain::Dialog::EmailLists, [&settings](QWidget *parent) {
        return new frmSetEmailLists(settings, parent);
    });
    window.setDialogFactory(MDIMain::Dialog::EmailAccount, [&settings, &service](QWidget *parent) {
        auto *dialog = new frmSetEmailAccount(settings, parent);
        QObject::connect(dialog, &frmSetEmailAccount::accountApplied, &service, &Service::accountChanged);
        return dialog;
    });
    window.setDialogFactory(MDIMain::Dialog::OAuth, [&settings, &service](QWidget *parent) {
        auto *dialog = new frmSetOAuth(settings, parent);
        QObject::connect(dialog, &frmSetOAuth::oauthApplied, &service, &Service::accountChanged);
        return dialog;
    });
    window.setDialogFactory(MDIMain::Dialog::Delivery, [&settings, &service](QWidget *parent) {
        auto *dialog = new frmSetDelivery(settings, parent);
        QObject::connect(dialog, &frmSetDelivery::deliveryApplied, &service, &Service::accountChanged);
        return dialog;
    });
    window.setDialogFactory(MDIMain::Dialog::EmailTest, [&settings, &service](QWidget *parent) {
        return new frmEmailTest(settings.RecipientLists, *service.queue(), parent);
    });
}

} // namespace corvane
