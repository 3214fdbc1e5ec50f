// Renders the main window as it looks once running into a PNG, for the README:
//   QT_QPA_PLATFORM=offscreen corvane-screenshot docs/main-window.png
// The service runs from a temporary folder on a free port with a fixed clock,
// and sends one real message through the mail component to a minimal SMTP
// responder on loopback, so the status list shows what an operator sees after
// a delivery. Apart from the responder's port, nothing depends on the
// machine or the moment.

#include "app/MDIMain.h"
#include "app/Service.h"
#include "mail/MailComponent.h"
#include "intake/NotificationQueue.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPixmap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// Just enough SMTP for one message: every command is accepted.
void answerSmtp(QTcpServer &server)
{
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto inData = std::make_shared<bool>(false);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, inData] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine().trimmed();
                    const QByteArray verb = line.left(4).toUpper();
                    if (*inData) {
                        if (line == ".") {
                            *inData = false;
                            socket->write("250 2.0.0 Accepted\r\n");
                        }
                    } else if (verb == "EHLO") {
                        socket->write("250-localhost\r\n250 8BITMIME\r\n");
                    } else if (verb == "DATA") {
                        *inData = true;
                        socket->write("354 End data with <CR><LF>.<CR><LF>\r\n");
                    } else if (verb == "QUIT") {
                        socket->write("221 Bye\r\n");
                        socket->disconnectFromHost();
                    } else {
                        socket->write("250 OK\r\n");
                    }
                }
            });
            socket->write("220 localhost ESMTP\r\n");
        }
    });
}

template <typename Sender, typename Signal>
bool waitFor(Sender *sender, Signal signal, int timeoutMs)
{
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&loop] { loop.exit(1); });
    QObject::connect(sender, signal, &loop, [&loop] { loop.exit(0); }, Qt::QueuedConnection);
    timeout.start(timeoutMs);
    return loop.exec() == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvane-screenshot OUTPUT.png\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);

    QTemporaryDir folder;
    QTcpServer smtp;
    if (!folder.isValid() || !smtp.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "corvane-screenshot: no temporary folder or loopback port\n");
        return 1;
    }
    answerSmtp(smtp);

    corvane::ServiceOptions options;
    options.folder = folder.path();
    options.listenPort = 0; // any free port: the real ones may be in use
    options.ackPort = 0;
    options.clock = [] { return QDateTime(QDate(2026, 3, 14), QTime(9, 26, 53)); };
    options.tickInterval = std::chrono::milliseconds(50);
    corvane::Service service(options);
    if (const corvane::Result started = service.start(); !started) {
        std::fprintf(stderr, "corvane-screenshot: %s\n", qPrintable(started.error));
        return 1;
    }
    corvane::Settings &settings = service.settings();
    settings.AccountSettings.SmtpServer = QStringLiteral("127.0.0.1:%1").arg(smtp.serverPort());
    settings.AccountSettings.SenderEmail = QStringLiteral("alarms@plant.example");
    settings.RecipientLists[1].Name = QStringLiteral("Operators");
    settings.RecipientLists[1].Addresses[1] = QStringLiteral("operator@plant.example");

    corvane::MDIMain window(service);
    window.show();
    service.queue()->QueueEmail(1, QStringLiteral("Boiler 2 pressure high"),
                                QStringLiteral("Pressure 8.7 bar at 09:26"));
    if (!waitFor(service.mailComponent(), &corvane::MailComponent::finished, 10000)) {
        std::fprintf(stderr, "corvane-screenshot: the message was not sent in time\n");
        return 1;
    }
    waitFor(&service, &corvane::Service::clockTicked, 2000);

    QDir().mkpath(QFileInfo(output).absolutePath());
    if (!window.grab().save(output, "PNG")) {
        std::fprintf(stderr, "corvane-screenshot: cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("%s\n", qPrintable(output));
    return 0;
}
