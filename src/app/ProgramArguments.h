#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

// The program's command line. Without options Corvane runs as the service;
// --check walks the account through an SMTP session and ends;
// --install-service, --uninstall-service and --status deal with the Windows
// service.
struct ProgramArguments {
    enum class Action { Run, Check, Help, Version, InstallService, UninstallService, Status, Error };

    Action action = Action::Run;
    QString folder;        // Corvane.ini and Logs/; empty: the executable's folder
    int list = 0;          // --list N; 0: every list with addresses
    bool json = false;
    QString caFile;
    std::optional<int> timeoutSeconds;
    QString error;         // for Action::Error

    // `arguments` as in argv, the program name first.
    static ProgramArguments parse(const QStringList &arguments);
    // Needs an application object (for the program name).
    static QString helpText();
    static QString versionText();
};

} // namespace corvane
