// Sends N small messages one after the other through MailComponent, the way the
// dispatcher does (the next ones lined up with submit() while one is sent),
// and prints messages/s.
//   bench_mail_component HOST:PORT COUNT reuse|session
#include "mail/MailComponent.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

#include <sys/resource.h>

using namespace corvane;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 || (args[3] != QLatin1String("reuse") && args[3] != QLatin1String("session"))) {
        std::fprintf(stderr, "usage: bench_mail_component HOST:PORT COUNT reuse|session\n");
        return 2;
    }
    const int count = args[2].toInt();
    MailOptions options;
    options.reuseConnection = args[3] == QLatin1String("reuse");
    MailComponent component(MailTimeouts{}, options);
    component.setAddressSeparator(QStringLiteral(";"));
    component.setSmtpHost(args[1]);
    component.setSenderAddress(QStringLiteral("bench@example.com"));
    component.setSenderName(QStringLiteral("Bench"));
    component.setRecipients(QStringLiteral("ops@example.com"));
    component.setMessageText(QStringLiteral("Pump 3 stopped. Pressure low."));
    component.setPriority(3);

    int sent = 0;
    int done = 0;
    int succeeded = 0;
    int statusLines = 0;
    QElapsedTimer timer;
    QObject::connect(&component, &MailComponent::SendSuccesful, &app, [&] { ++succeeded; });
    QObject::connect(&component, &MailComponent::Status, &app, [&](const QString &) { ++statusLines; });
    auto handOver = [&] {
        if (sent >= count)
            return false;
        component.setSubject(QStringLiteral("Alarm %1").arg(sent));
        if (!component.submit(quint64(sent) + 1, component.properties()))
            return false;
        ++sent;
        return true;
    };
    auto lineUp = [&] {
        while (handOver()) {
        }
    };
    QObject::connect(&component, &MailComponent::finished, &app, [&] {
        if (++done == count)
            app.quit();
        else
            lineUp();
    });
    QTimer::singleShot(0, &app, [&] {
        timer.start();
        lineUp();
    });
    app.exec();
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.1f messages/s (%s: %d messages, %d accepted, %.3f s, %.0f us CPU each, %.1f status lines each)\n",
                count / seconds, qPrintable(args[3]), count, succeeded, seconds, cpu * 1e6 / count,
                static_cast<double>(statusLines) / count);
    return succeeded == count ? 0 : 1;
}
