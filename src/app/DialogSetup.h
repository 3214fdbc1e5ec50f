#pragma once

namespace corvane {

class MDIMain;
class Service;

// Hands the main window's menu the account, recipient lists, OAuth sign-in and
// test dialogs, each working on the service's settings and queue; an applied
// account or sign-in reaches the service's next send.
void installDialogs(MDIMain &window, Service &service);

} // namespace corvane
