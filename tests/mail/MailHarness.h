#pragma once

#include "mail/MailComponent.h"
#include "support/TestSupport.h"

#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <optional>

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

    // Send() and wait (processing events) for `finished`; false on timeout.
    bool sendAndWait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitFinished(std::chrono::milliseconds timeout);
    const SendRecord &last() const { return m_record; }
    void clear() { m_record = {}; }

private:
    MailComponent &m_component;
    SendRecord m_record;
};

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

} // namespace corvane::test
