#pragma once

#include "mail/MailComponent.h"
#include "mail/SessionClock.h"
#include "mail/SmtpSession.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace corvane::test {

// Everything one send reported, in arrival order.
struct SendRecord {
    QStringList events; // "Progress", "Status", "SendSuccesful", "SendFailed", "finished"
    QStringList status;
    QList<int> progress;
    int succeeded = 0;
    int failed = 0;
    int finished = 0;
    QString explanation;
    bool lateEvent = false; // something arrived after `finished`

    bool ok() const { return succeeded == 1 && failed == 0 && finished == 1; }
    QString statusText() const { return status.join(QLatin1Char('\n')); }
};

// Listens to a component for its lifetime and runs sends to their end.
class SendRecorder : public QObject {
    Q_OBJECT
public:
    explicit SendRecorder(MailComponent &component);

    // The send operation with the component's current properties, ids
    // counting from 1.
    bool send();
    // send() and wait (processing events) for `finished`; false on timeout.
    bool sendAndWait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitFinished(std::chrono::milliseconds timeout);
    const SendRecord &last() const { return m_record; }
    void clear() { m_record = {}; }

private:
    MailComponent &m_component;
    SendRecord m_record;
    quint64 m_lastId = 0;
};

// A session clock moved by hand: time stands still until the test moves it,
// and every limit that falls due on the way fires then, in order.
class ManualSessionClock : public SessionClock {
public:
    std::chrono::milliseconds now() const override { return m_now; }
    void arm(SessionTimer &timer) override;
    void disarm(SessionTimer &timer) override;
    void advance(std::chrono::milliseconds by);
    // How long until the next limit falls due; none when nothing is armed.
    std::optional<std::chrono::milliseconds> untilNext() const;

private:
    std::chrono::milliseconds m_now{0};
    std::vector<SessionTimer *> m_armed;
};

// Everything a session reports, checked for order as it arrives.
struct SessionRecorder : SmtpSessionListener {
    QList<quint64> finished;
    QMap<quint64, MailOutcome> outcomes;
    QStringList status;
    QList<SmtpStep> steps;
    QList<int> progress;
    bool outOfOrder = false;

    void sessionStatus(quint64, const QString &line) override { status.append(line); }
    void sessionProgress(quint64, int percent) override { progress.append(percent); }
    void sessionFinished(quint64 id, const MailOutcome &outcome) override;
    void sessionStep(SmtpStep step, const SmtpReply &) override { steps.append(step); }

    // Waits (processing events) until `count` messages have finished, in order.
    bool waitFinished(int count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    MailOutcome outcome(quint64 id = 1) const { return outcomes.value(id); }
    bool statusContains(const QString &text) const { return status.join(QLatin1Char('\n')).contains(text); }
};

// A server on 127.0.0.1 without a login, and a small message with a line that
// must be dot-stuffed.
SmtpAccount loopbackAccount(quint16 port);
SmtpMessage smallMessage(quint64 id, const QByteArray &subject = "first", int recipients = 1, qsizetype padTo = 0);

// Every wait of an attempt limited to `step`, the whole attempt to `wholeAttempt`.
MailTimeouts shortTimeouts(std::chrono::seconds step, std::chrono::seconds wholeAttempt);

// Timeouts short enough for a test that waits for them.
MailTimeouts quickTimeouts();

// A component filled the way the dispatcher fills it, for one plain message.
void fillPlainMessage(MailComponent &component, const QString &smtpHost);

// The plain message sent once through a component of its own (quick timeouts);
// nothing when the send did not start or did not finish.
std::optional<SendRecord> sendPlainMessage(const QString &smtpHost, const MailOptions &options = {});

// The capture server (tests/support/smtp_capture.py) on a free port.
class CaptureServer {
public:
    bool start(const QStringList &extraArguments = {});
    quint16 port() const { return m_port; }
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    QString folder() const { return m_dir.path(); }
    QStringList messageFiles() const;
    // Waits until `count` messages are stored.
    bool waitForMessages(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The n-th message as Python's e-mail parser reads it (tests/mail/mail_check.py).
    QJsonObject parsed(int index) const;
    QByteArray raw(int index) const;
    PeerProcess &process() { return m_peer; }
    // Output lines of the server that start with `prefix`.
    QStringList outputLines(const QString &prefix);

private:
    QTemporaryDir m_dir;
    PeerProcess m_peer;
    QByteArray m_laterOutput; // read after start()
    quint16 m_port = 0;
};

// A private CA and a server certificate for 127.0.0.1 signed by it, made with openssl.
struct TestCertificates {
    QString caFile;
    QString certFile;
    QString keyFile;
    bool make(const QString &folder);
};

QString mailTestDir(); // tests/mail in the source tree

// smtp_script.py on a free port, with one script for the run.
class SmtpScriptServer {
public:
    bool start(const QJsonArray &connections, const TestCertificates *tls = nullptr)
    {
        m_port = freeTcpPort();
        const QJsonObject script{{QStringLiteral("connections"), connections}};
        QStringList args{supportDir() + QStringLiteral("/smtp_script.py"), QStringLiteral("--port"),
                         QString::number(m_port), QStringLiteral("--script"),
                         QString::fromUtf8(QJsonDocument(script).toJson(QJsonDocument::Compact))};
        if (tls)
            args << QStringLiteral("--cert") << tls->certFile << QStringLiteral("--key") << tls->keyFile;
        return m_peer.start(QString::fromLatin1(SystemPython), args, QStringLiteral("READY"));
    }
    quint16 port() const { return m_port; }
    // Output lines that start with `prefix`, the prefix taken off.
    QStringList lines(const QString &prefix)
    {
        m_later += m_peer.process().readAll();
        QStringList found;
        for (const QString &line : QString::fromUtf8(m_peer.output() + m_later).split(QLatin1Char('\n'))) {
            if (line.startsWith(prefix))
                found.append(line.mid(prefix.size()).chopped(line.endsWith(QLatin1Char('\r')) ? 1 : 0));
        }
        return found;
    }
    QStringList received() { return lines(QStringLiteral("RECV ")); }
    QStringList verbs()
    {
        QStringList verbs;
        for (const QString &line : received())
            verbs.append(line.section(QLatin1Char(' '), 0, 0).toUpper());
        return verbs;
    }
    bool waitFor(const QString &prefix, const QString &line)
    {
        return QTest::qWaitFor([&] { return lines(prefix).contains(line); }, 10000);
    }

private:
    PeerProcess m_peer;
    QByteArray m_later;
    quint16 m_port = 0;
};

} // namespace corvane::test
