#include "mail/MailHarness.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>

#include <algorithm>

namespace corvane::test {

QString mailTestDir()
{
    return QString::fromLocal8Bit(qgetenv("CORVANE_SOURCE_DIR")) + QStringLiteral("/tests/mail");
}

SendRecorder::SendRecorder(MailComponent &component) : m_component(component)
{
    auto note = [this](const QString &name) {
        if (m_record.finished > 0)
            m_record.lateEvent = true;
        m_record.events.append(name);
    };
    connect(&component, &MailComponent::Progress, this, [this, note](int percent) {
        note(QStringLiteral("Progress"));
        m_record.progress.append(percent);
    });
    connect(&component, &MailComponent::Status, this, [this, note](const QString &line) {
        note(QStringLiteral("Status"));
        m_record.status.append(line);
        qDebug().noquote() << "Status:" << line;
    });
    connect(&component, &MailComponent::SendSuccesful, this, [this, note] {
        note(QStringLiteral("SendSuccesful"));
        ++m_record.succeeded;
    });
    connect(&component, &MailComponent::SendFailed, this, [this, note](const QString &explanation) {
        note(QStringLiteral("SendFailed"));
        ++m_record.failed;
        m_record.explanation = explanation;
    });
    connect(&component, &MailComponent::finished, this, [this, note] {
        note(QStringLiteral("finished"));
        ++m_record.finished;
    });
}

bool SendRecorder::send()
{
    return m_component.submit(++m_lastId, m_component.properties());
}

bool SendRecorder::sendAndWait(std::chrono::milliseconds timeout)
{
    m_record = {};
    if (!send())
        return false;
    return waitFinished(timeout);
}

bool SendRecorder::waitFinished(std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (m_record.finished == 0 && !deadline.hasExpired())
        QTest::qWait(5);
    return m_record.finished > 0;
}

void ManualSessionClock::arm(SessionTimer &timer)
{
    if (std::find(m_armed.begin(), m_armed.end(), &timer) == m_armed.end())
        m_armed.push_back(&timer);
}

void ManualSessionClock::disarm(SessionTimer &timer)
{
    m_armed.erase(std::remove(m_armed.begin(), m_armed.end(), &timer), m_armed.end());
}

void ManualSessionClock::advance(std::chrono::milliseconds by)
{
    const std::chrono::milliseconds until = m_now + by;
    for (;;) {
        const auto next = std::min_element(m_armed.begin(), m_armed.end(),
                                           [](SessionTimer *a, SessionTimer *b) { return a->due() < b->due(); });
        if (next == m_armed.end() || (*next)->due() > until)
            break;
        SessionTimer *timer = *next;
        m_armed.erase(next);
        m_now = std::max(m_now, timer->due());
        fire(*timer); // may arm others, or this one again
    }
    m_now = until;
}

std::optional<std::chrono::milliseconds> ManualSessionClock::untilNext() const
{
    if (m_armed.empty())
        return std::nullopt;
    const auto next = std::min_element(m_armed.begin(), m_armed.end(),
                                       [](SessionTimer *a, SessionTimer *b) { return a->due() < b->due(); });
    return (*next)->due() - m_now;
}

void SessionRecorder::sessionFinished(quint64 id, const MailOutcome &outcome)
{
    outOfOrder = outOfOrder || (!finished.isEmpty() && id <= finished.last()) || outcomes.contains(id);
    finished.append(id);
    outcomes.insert(id, outcome);
}

bool SessionRecorder::waitFinished(int count, std::chrono::milliseconds timeout)
{
    const bool done = QTest::qWaitFor([&] { return finished.size() >= count; }, int(timeout.count()));
    return done && finished.size() == count && !outOfOrder;
}

SmtpAccount loopbackAccount(quint16 port)
{
    SmtpAccount a;
    a.endpoint = ServerEndpoint::parse(QStringLiteral("127.0.0.1:%1").arg(port), MailProtocol::Smtp);
    a.heloName = QStringLiteral("client.test");
    return a;
}

SmtpMessage smallMessage(quint64 id, const QByteArray &subject, int recipients, qsizetype padTo)
{
    SmtpMessage m;
    m.id = id;
    m.sender = QStringLiteral("plant@example.com");
    for (int i = 0; i < recipients; ++i)
        m.recipients.append(QStringLiteral("ops%1@example.com").arg(i + 1));
    m.data = "Subject: " + subject + "\r\n\r\nPump 3 stopped.\r\n.hidden line\r\n";
    if (m.data.size() < padTo)
        m.data += QByteArray(padTo - m.data.size() - 2, 'x') + "\r\n";
    return m;
}

MailTimeouts shortTimeouts(std::chrono::seconds step, std::chrono::seconds wholeAttempt)
{
    MailTimeouts t;
    t.connect = step;
    t.serverReply = step;
    t.wholeAttempt = wholeAttempt;
    return t;
}

MailTimeouts quickTimeouts()
{
    return shortTimeouts(std::chrono::seconds(5), std::chrono::seconds(20));
}

void fillPlainMessage(MailComponent &c, const QString &smtpHost)
{
    c.setFirstOption(0);
    c.setSecondOption(1);
    c.setAddressSeparator(QStringLiteral(";"));
    c.setSmtpHost(smtpHost);
    c.setSenderAddress(QStringLiteral("plant@example.com"));
    c.setSenderName(QStringLiteral("Plant Alarm"));
    c.setRecipients(QStringLiteral("ops@example.com; boss@example.org"));
    for (int i = 0; i < 5; ++i)
        c.setFurtherText(i, QString());
    c.setSubject(QStringLiteral("Pump 3 stopped"));
    c.setMessageText(QStringLiteral("Pump 3 stopped at 04:12.\r\nPressure low."));
    c.setFurtherText(5, QString());
    c.setHtml(false);
    c.setFurtherText(6, QString());
    c.setEncodingType(0);
    c.setReturnReceipt(false);
    c.setServerLogin(false);
    c.setPopLogin(false);
    c.setUserName(QString());
    c.setPassword(QString());
    c.setPop3Host(QString());
    c.setThirdOption(100);
}

std::optional<SendRecord> sendPlainMessage(const QString &smtpHost, const MailOptions &options)
{
    MailComponent component(quickTimeouts(), options);
    fillPlainMessage(component, smtpHost);
    SendRecorder recorder(component);
    if (!recorder.sendAndWait())
        return std::nullopt;
    return recorder.last();
}

bool CaptureServer::start(const QStringList &extraArguments)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = freeTcpPort();
        QStringList args{supportDir() + QStringLiteral("/smtp_capture.py"), QStringLiteral("--port"),
                         QString::number(m_port), QStringLiteral("--out"), m_dir.path()};
        args += extraArguments;
        if (m_peer.start(QString::fromLatin1(SystemPython), args, QStringLiteral("READY")))
            return true;
        m_peer.stop();
    }
    qWarning().noquote() << "capture server did not start:" << m_peer.output();
    return false;
}

QStringList CaptureServer::messageFiles() const
{
    QDir dir(m_dir.path());
    QStringList files;
    for (const QString &name : dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name))
        files.append(dir.filePath(name));
    return files;
}

bool CaptureServer::waitForMessages(int count, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (messageFiles().size() < count && !deadline.hasExpired())
        QTest::qWait(10);
    return messageFiles().size() >= count;
}

QByteArray CaptureServer::raw(int index) const
{
    const QStringList files = messageFiles();
    if (index >= files.size())
        return {};
    QFile file(files[index]);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject CaptureServer::parsed(int index) const
{
    const QStringList files = messageFiles();
    if (index >= files.size())
        return {};
    QProcess checker;
    checker.start(QString::fromLatin1(SystemPython), {mailTestDir() + QStringLiteral("/mail_check.py"), files[index]});
    if (!checker.waitForFinished(15000) || checker.exitCode() != 0) {
        qWarning().noquote() << "mail_check.py failed:" << checker.readAllStandardError();
        return {};
    }
    return QJsonDocument::fromJson(checker.readAllStandardOutput()).object();
}

QStringList CaptureServer::outputLines(const QString &prefix)
{
    m_peer.process().waitForReadyRead(20);
    m_laterOutput += m_peer.process().readAll();
    const QString all = QString::fromUtf8(m_peer.output() + m_laterOutput);
    QStringList lines;
    for (const QString &line : all.split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            lines.append(line.trimmed());
    }
    return lines;
}

bool TestCertificates::make(const QString &folder)
{
    caFile = folder + QStringLiteral("/ca.pem");
    certFile = folder + QStringLiteral("/server.pem");
    keyFile = folder + QStringLiteral("/server.key");
    const QString caKey = folder + QStringLiteral("/ca.key");
    const QString csr = folder + QStringLiteral("/server.csr");
    const QString ext = folder + QStringLiteral("/server.ext");
    QFile extFile(ext);
    if (!extFile.open(QIODevice::WriteOnly))
        return false;
    extFile.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n");
    extFile.close();

    const QList<QStringList> steps = {
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey, "-out", caFile, "-days", "2",
         "-subj", "/CN=Corvane Test CA"},
        {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", keyFile, "-out", csr, "-subj", "/CN=127.0.0.1"},
        {"x509", "-req", "-in", csr, "-CA", caFile, "-CAkey", caKey, "-CAcreateserial", "-out", certFile,
         "-days", "2", "-extfile", ext},
    };
    for (const QStringList &step : steps) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), step);
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            qWarning().noquote() << "openssl failed:" << openssl.readAllStandardError();
            return false;
        }
    }
    return true;
}

} // namespace corvane::test
