#include "app/MDIMain.h"
#include "app/Service.h"
#include "app/SignalWatcher.h"
#include "mail/CurlGlobal.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Most installations run without a screen, under a service manager: there the
// program must not fail for want of a display but run on Qt's offscreen
// platform exactly as it would with one.
void chooseHeadlessPlatform()
{
    if (!hasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
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

} // namespace

int main(int argc, char *argv[])
{
    // Before anything can start a thread.
    corvane::CurlGlobal curl;

    chooseHeadlessPlatform();
    QApplication app(argc, argv);
    // The program ends when the service has stopped (a running send cancelled),
    // not as soon as the window disappears.
    QApplication::setQuitOnLastWindowClosed(false);

    corvane::SignalWatcher signalWatcher;

    corvane::ServiceOptions options;
    options.folder = QCoreApplication::applicationDirPath();
    corvane::Service service(options);
    QString error;
    if (!service.start(&error)) {
        reportStartupFailure(error);
        return 1;
    }

    corvane::MDIMain window(service);
    // Straight to the service: a close must not depend on the window.
    QObject::connect(&signalWatcher, &corvane::SignalWatcher::closeRequested, &service,
                     [&service](int) { service.requestClose(); });
    QObject::connect(&service, &corvane::Service::stopped, &app, [] { QCoreApplication::exit(0); });
    window.show();
    return QApplication::exec();
}
