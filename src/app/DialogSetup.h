#pragma once

namespace corvane {

class MDIMain;
class NotificationQueue;
struct Settings;

// Hands the main window's menu the account, recipient lists and test dialogs,
// each working on the given settings and queue.
void installDialogs(MDIMain &window, Settings &settings, NotificationQueue &queue);

} // namespace corvane
