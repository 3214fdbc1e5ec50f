#include "app/CloseRequestWatcher.h"
#include "app/DialogSetup.h"
#include "app/Display.h"
#include "app/MDIMain.h"
#include "app/ProgramArguments.h"
#include "app/Service.h"
#include "app/ServiceControl.h"
#include "app/ServiceHeartbeat.h"
#include "app/ServiceNotifier.h"
#include "check/AccountCheck.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QMessageBox>

#include <cstdio>

namespace {

// Most installations run without a screen, under a service manager: there the
// program must not fail for want of a display but run on Qt's offscreen
// platform exactly as it would with one.
void chooseHeadlessPlatform()
{
    if (!corvane::displayAvailable() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

bool hasRealScreen()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void reportStartupFailure(const QString &reason)
{
    std::fprintf(stderr, "corvane: start-up failed: %s\n", qPrintable(reason));
    std::fflush(stderr);
    if (hasRealScreen())
        QMessageBox::critical(nullptr, QStringLiteral("Corvane"), reason);
}

// A relative --folder is taken from where the program was started, once: the
// log must not move if the working directory ever changes.
QString folderOf(const corvane::ProgramArguments &arguments)
{
    return arguments.folder.isEmpty() ? QCoreApplication::applicationDirPath()
                                      : QDir(arguments.folder).absolutePath();
}

// --help, --version, --check and command-line errors: no window, no display.
int runWithoutWindow(int argc, char *argv[], const corvane::ProgramArguments &arguments)
{
    using Action = corvane::ProgramArguments::Action;
    QCoreApplication app(argc, argv);
    switch (arguments.action) {
    case Action::Help:
        std::fputs(qPrintable(corvane::ProgramArguments::helpText()), stdout);
        return 0;
    case Action::Version:
        std::fputs(qPrintable(corvane::ProgramArguments::versionText()), stdout);
        return 0;
    case Action::Error:
        std::fprintf(stderr, "corvane: %s\nTry corvane --help.\n", qPrintable(arguments.error));
        return corvane::CheckReport::UsageExitCode;
    case Action::InstallService:
        return corvane::installService(folderOf(arguments));
    case Action::UninstallService:
        return corvane::uninstallService();
    case Action::Status:
        return corvane::printServiceStatus();
    case Action::Check:
    case Action::Run:
        break;
    }
    corvane::AccountCheckOptions options;
    options.folder = folderOf(arguments);
    options.list = arguments.list;
    options.caFile = arguments.caFile;
    if (arguments.timeoutSeconds) {
        const std::chrono::milliseconds limit = std::chrono::seconds(*arguments.timeoutSeconds);
        options.timeouts.connect = std::min(options.timeouts.connect, limit);
        options.timeouts.serverReply = std::min(options.timeouts.serverReply, limit);
    }
    const corvane::CheckReport report = corvane::AccountCheck(options).run();
    const QByteArray out = arguments.json ? QJsonDocument(report.json()).toJson(QJsonDocument::Indented)
                                          : report.text().toUtf8();
    std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stdout);
    return report.exitCode();
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList argumentList;
    for (int i = 0; i < argc; ++i)
        argumentList << QString::fromLocal8Bit(argv[i]);
    const corvane::ProgramArguments arguments = corvane::ProgramArguments::parse(argumentList);
    if (arguments.action != corvane::ProgramArguments::Action::Run)
        return runWithoutWindow(argc, argv, arguments);

    chooseHeadlessPlatform();
    QApplication app(argc, argv);
    // The program ends when the service has stopped (a running send cancelled),
    // not as soon as the window disappears.
    QApplication::setQuitOnLastWindowClosed(false);

    const std::unique_ptr<corvane::CloseRequestWatcher> closeWatcher = corvane::watchCloseRequests();
    // Before start-up: a service manager waiting for the service hears from it at once.
    corvane::ServiceOptions options;
    options.folder = folderOf(arguments);
    const std::unique_ptr<corvane::ServiceNotifier> notifier = corvane::makeSystemServiceNotifier(options.folder);
    corvane::Service service(options);
    if (const corvane::Result started = service.start(); !started) {
        reportStartupFailure(started.error);
        return 1;
    }

    corvane::ServiceHeartbeat heartbeat(service, *notifier);

    corvane::MDIMain window(service);
    corvane::installDialogs(window, service);
    // Straight to the service: a close must not depend on the window.
    QObject::connect(closeWatcher.get(), &corvane::CloseRequestWatcher::closeRequested, &service,
                     [&service](int) { service.requestClose(); });
    notifier->onStopRequest([&service] { service.requestClose(); });
    // Logging off or shutting down ends a program with windows right after
    // this signal: it closes as a close request does. At the normal end the
    // service has closed already and nothing more happens.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &service, [&service] { service.requestClose(); });
    QObject::connect(&service, &corvane::Service::stopped, &app, [] { QCoreApplication::exit(0); });
    // Without a screen (Qt's offscreen platform, as under a service manager) nobody can
    // see the window: it keeps its state but is not drawn.
    if (hasRealScreen())
        window.show();
    return QApplication::exec();
}
