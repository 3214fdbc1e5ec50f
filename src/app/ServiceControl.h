#pragma once

#include <QString>

namespace corvane {

// `corvane --install-service [--folder DIR]`, `--uninstall-service` and
// `--status`: the service's registration with the system's service manager.
// ServiceControl_win.cpp talks to the Service Control Manager; on Linux the
// Debian package installs the systemd unit and these only say so.
// Each prints what it did and returns the program's exit code.
int installService(const QString &folder);
int uninstallService();
int printServiceStatus();

} // namespace corvane
