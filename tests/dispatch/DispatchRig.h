#pragma once

// What the dispatcher's tests share: a pass's world built the way the service
// builds it, with a clock the test moves, and the capture SMTP server.

#include "dispatch/Dispatcher.h"
#include "dispatch/SendEvents.h"
#include "intake/NotificationQueue.h"
#include "mail/MailComponent.h"
#include "storage/ActivityLog.h"
#include "storage/Settings.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace corvane::dispatchtest {

inline MailTimeouts shortTimeouts()
{
    MailTimeouts timeouts;
    timeouts.connect = std::chrono::seconds(3);
    timeouts.serverReply = std::chrono::seconds(5);
    timeouts.wholeAttempt = std::chrono::seconds(10);
    return timeouts;
}

inline QueuedEmail entry(const QString &subject, const QString &body = QStringLiteral("body"),
                  const QString &recipients = QStringLiteral("ops@example.com"))
{
    QueuedEmail email;
    email.Pending = -1;
    email.Recipients = recipients;
    email.Subject = subject;
    email.Body = body;
    return email;
}

// Everything a pass works on, built the way the service builds it.
struct Rig {
    QTemporaryDir dir;
    Settings settings;
    ActivityLog log{QDir(dir.path()).filePath(QStringLiteral("Logs")), systemClock()};
    NotificationQueue queue{settings.RecipientLists, log};
    MailComponent component{shortTimeouts()};
    SendEvents events{component, log};
    qint64 skewMs = 0; // moves the dispatcher's clock past a back-off
    Dispatcher dispatcher{queue, settings, component, log,
                          [this] { return QDateTime::currentDateTime().addMSecs(skewMs); }};

    Rig()
    {
        // One attempt per message, unless a test turns retries on.
        settings.AccountSettings.RetryHours = 0;
        settings.AccountSettings.SenderEmail = QStringLiteral("corvane@example.com");
        settings.AccountSettings.SenderName = QStringLiteral("Corvane");
        pointAtNobody();
    }

    void pointAt(quint16 port)
    {
        settings.AccountSettings.SmtpServer = QStringLiteral("127.0.0.1:%1").arg(port);
    }
    void pointAtNobody() { pointAt(test::freeTcpPort()); }

    // Starts a pass and waits until it has ended.
    bool runPass(int timeoutMs = 30000)
    {
        QSignalSpy finished(&dispatcher, &Dispatcher::passFinished);
        dispatcher.onTick();
        if (finished.count() > 0)
            return true;
        return finished.wait(timeoutMs);
    }

    QStringList logMessages() const
    {
        QStringList messages;
        for (const QByteArray &file : test::readFiles(log.logFolder(), QStringLiteral(".TXT"))) {
            for (QByteArray line : file.split('\n')) {
                if (line.endsWith('\r'))
                    line.chop(1);
                if (!line.isEmpty())
                    messages << QString::fromUtf8(line.mid(10));
            }
        }
        return messages;
    }

    QStringList logged(const QString &prefix) const
    {
        QStringList matching;
        for (const QString &message : logMessages())
            if (message.startsWith(prefix))
                matching << message;
        return matching;
    }

    // The subjects the server accepted, in the order of their attempts, read
    // from the status lines that follow each "Send email:" line.
    QStringList delivered() const
    {
        QStringList subjects;
        QString current;
        for (const QString &message : logMessages()) {
            if (message.startsWith(QStringLiteral("Send email:")))
                current = message.mid(11);
            else if (message.startsWith(QStringLiteral("Status:Message accepted")))
                subjects << current;
        }
        return subjects;
    }
};

// The capture server from tests/support; each accepted message becomes a file.
struct CaptureServer {
    QTemporaryDir out;
    quint16 port = test::freeTcpPort();
    test::PeerProcess process;

    bool start()
    {
        return process.start(QString::fromLatin1(test::SystemPython),
                             {test::supportDir() + QStringLiteral("/smtp_capture.py"),
                              QStringLiteral("--port"), QString::number(port),
                              QStringLiteral("--out"), out.path()},
                             QStringLiteral("READY"));
    }

    QList<QByteArray> messages() const { return test::readFiles(out.path(), QStringLiteral(".eml")); }

    QStringList subjects() const
    {
        QStringList subjects;
        for (const QByteArray &message : messages()) {
            for (QByteArray line : message.split('\n')) {
                if (line.startsWith("Subject: ")) {
                    subjects << QString::fromUtf8(line.mid(9).trimmed());
                    break;
                }
            }
        }
        return subjects;
    }
};

} // namespace corvane::dispatchtest
