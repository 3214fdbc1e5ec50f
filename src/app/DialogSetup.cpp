#include "app/DialogSetup.h"

#include "app/MDIMain.h"
#include "dialogs/frmEmailTest.h"
#include "dialogs/frmSetEmailAccount.h"
#include "dialogs/frmSetEmailLists.h"
#include "storage/Settings.h"

namespace corvane {

void installDialogs(MDIMain &window, Settings &settings, NotificationQueue &queue)
{
    window.setDialogFactory(MDIMain::Dialog::EmailLists, [&settings](QWidget *parent) {
        return new frmSetEmailLists(settings, parent);
    });
    window.setDialogFactory(MDIMain::Dialog::EmailAccount, [&settings](QWidget *parent) {
        return new frmSetEmailAccount(settings, parent);
    });
    window.setDialogFactory(MDIMain::Dialog::EmailTest, [&settings, &queue](QWidget *parent) {
        return new frmEmailTest(settings.RecipientLists, queue, parent);
    });
}

} // namespace corvane
