// Logins and TLS against aiosmtpd on loopback, with certificates the test makes.
#include "mail/MailHarness.h"

#include <QJsonArray>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

const QString User = QStringLiteral("alarm-user");
const QString Password = QStringLiteral("S3cr3t-Pässwörd!42");

// Every form in which the password could leak: as typed, in base64 on its own,
// inside AUTH PLAIN's blob, and from each byte offset of a longer base64 text.
QStringList passwordForms(const QString &password)
{
    const QByteArray pass = password.toUtf8();
    QStringList forms{password, QString::fromLatin1(pass.toBase64()),
                      QString::fromLatin1(QByteArray('\0' + User.toUtf8() + '\0' + pass).toBase64())};
    for (int prefix = 0; prefix < 3; ++prefix) {
        const QByteArray encoded = (QByteArray(prefix, 'x') + pass).toBase64();
        // Drop the characters the prefix and the unfinished last group touch.
        const int from = prefix == 0 ? 0 : 4;
        forms << QString::fromLatin1(encoded.mid(from, (encoded.size() - from - 4) / 4 * 4));
    }
    forms.removeAll(QString());
    return forms;
}

void logIn(MailComponent &component, const QString &password = Password)
{
    component.setServerLogin(true);
    component.setUserName(User);
    component.setPassword(password);
}

void verifyNoPassword(const SendRecord &record, const QString &password = Password)
{
    const QStringList forms = passwordForms(password);
    for (const QString &line : record.status + QStringList{record.explanation}) {
        for (const QString &form : forms)
            QVERIFY2(!line.contains(form), qPrintable(QStringLiteral("password in: ") + line));
    }
}

} // namespace

class MailSecurityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void login_data();
    void login();
    void loginOverPlainConnectionWarns();
    void ownWordingSurvivesAShortPassword();
    void opportunisticStartTlsEncryptsWithoutChecks();
    void requiredStartTlsVerifiesTheCertificate();
    void relayWithOutdatedTls();
    void requiredStartTlsFailsWithoutOffer();
    void implicitTls();
    void secretsNeverInURLOrStatus();

private:
    // Checks servers against our test CA instead of the system's store.
    MailOptions trustingTestCa() const;

    QTemporaryDir m_certDir;
    TestCertificates m_certs;
};

void MailSecurityTest::initTestCase()
{
    QVERIFY(m_certDir.isValid());
    QVERIFY(m_certs.make(m_certDir.path()));
}

MailOptions MailSecurityTest::trustingTestCa() const
{
    MailOptions options;
    options.caFile = m_certs.caFile;
    return options;
}

void MailSecurityTest::login_data()
{
    QTest::addColumn<QString>("mechanism");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("PLAIN right") << "PLAIN" << Password << true;
    QTest::newRow("PLAIN wrong") << "PLAIN" << (Password + "x") << false;
    QTest::newRow("LOGIN right") << "LOGIN" << Password << true;
    QTest::newRow("LOGIN wrong") << "LOGIN" << QStringLiteral("nope-Pässwörd") << false;
}

void MailSecurityTest::login()
{
    QFETCH(QString, mechanism);
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    CaptureServer server;
    QVERIFY(server.start({"--auth-user", User, "--auth-password", Password, "--auth-mechanism", mechanism}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    logIn(component, password);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();
    verifyNoPassword(record, password);
    if (accepted) {
        QVERIFY2(record.ok(), qPrintable(record.statusText()));
        QVERIFY(record.status.contains(QStringLiteral("Logged in as ") + User));
        QVERIFY(server.waitForMessages(1));
    } else {
        QCOMPARE(record.failed, 1);
        QVERIFY2(record.explanation.startsWith(QStringLiteral("Login denied by the server (535")),
                 qPrintable(record.explanation));
        QCOMPARE(record.status.last(), record.explanation);
        QVERIFY(server.messageFiles().isEmpty());
    }
}

void MailSecurityTest::loginOverPlainConnectionWarns()
{
    CaptureServer server;
    QVERIFY(server.start({"--auth-user", User, "--auth-password", Password, "--log-auth"}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    logIn(component);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QVERIFY(recorder.last().ok());
    // On loopback the password may go in the clear; the warning is the
    // program's own wording, whatever the password.
    QVERIFY(recorder.last().status.contains(QStringLiteral("Warning: the password goes to the server unencrypted")));
    QVERIFY(server.waitForMessages(1));
    QCOMPARE(server.outputLines(QStringLiteral("AUTH ")), QStringList{QStringLiteral("AUTH ") + User});

    // Login switched off: no AUTH, and this server insists on one. Reusing the
    // logged-in connection would wrongly succeed; the account changed, so the
    // component must start a new session.
    component.setServerLogin(false);
    QVERIFY(recorder.sendAndWait());
    QCOMPARE(recorder.last().failed, 1);
    QVERIFY(recorder.last().status.first().startsWith(QStringLiteral("Connecting to")));
    QVERIFY(!recorder.last().statusText().contains(QStringLiteral("Logged in")));
    QVERIFY2(recorder.last().explanation.startsWith(QStringLiteral("The server takes mail only after a login (530")),
             qPrintable(recorder.last().explanation));
}

void MailSecurityTest::ownWordingSurvivesAShortPassword()
{
    // "pass" is inside the program's own line about the password: only what
    // comes from the server is masked.
    CaptureServer server;
    QVERIFY(server.start({"--auth-user", User, "--auth-password", "pass"}));
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    logIn(component, QStringLiteral("pass"));
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QVERIFY2(recorder.last().ok(), qPrintable(recorder.last().statusText()));
    QVERIFY2(recorder.last().status.contains(QStringLiteral("Warning: the password goes to the server unencrypted")),
             qPrintable(recorder.last().statusText()));
}

void MailSecurityTest::opportunisticStartTlsEncryptsWithoutChecks()
{
    CaptureServer server;
    QVERIFY(server.start({"--starttls", "--cert", m_certs.certFile, "--key", m_certs.keyFile, "--auth-user", User,
                          "--auth-password", Password}));
    // No CA given: a bare host:port does not check the certificate.
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, server.host());
    logIn(component);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();
    QVERIFY2(record.ok(), qPrintable(record.statusText()));
    QVERIFY2(record.statusText().contains(QStringLiteral("Connection encrypted with STARTTLS (TLSv1.")),
             qPrintable(record.statusText()));
    QVERIFY(!record.statusText().contains(QStringLiteral("unencrypted")));
    // The login came after STARTTLS.
    QVERIFY(record.statusText().indexOf(QStringLiteral("STARTTLS")) < record.statusText().indexOf(QStringLiteral("Logged in")));
    verifyNoPassword(record);
}

void MailSecurityTest::requiredStartTlsVerifiesTheCertificate()
{
    CaptureServer server;
    QVERIFY(server.start({"--starttls", "--cert", m_certs.certFile, "--key", m_certs.keyFile}));
    const QString url = QStringLiteral("smtp://127.0.0.1:%1").arg(server.port());
    // The system's store does not know our test CA: refused, nothing sent.
    const std::optional<SendRecord> refused = sendPlainMessage(url);
    QVERIFY(refused);
    QCOMPARE(refused->failed, 1);
    QVERIFY2(refused->explanation.contains(QStringLiteral("certificate")), qPrintable(refused->explanation));
    QVERIFY(server.messageFiles().isEmpty());

    const std::optional<SendRecord> trusted = sendPlainMessage(url, trustingTestCa());
    QVERIFY(trusted);
    QVERIFY2(trusted->ok(), qPrintable(trusted->statusText()));
    QVERIFY(trusted->statusText().contains(QStringLiteral("Connection encrypted with STARTTLS")));
    QVERIFY(server.waitForMessages(1));
}

void MailSecurityTest::relayWithOutdatedTls()
{
    CaptureServer server;
    QVERIFY(server.start({"--starttls", "--old-tls", "--cert", m_certs.certFile, "--key", m_certs.keyFile,
                          "--auth-user", User, "--auth-password", Password, "--log-auth"}));
    // The server offered STARTTLS and the handshake failed: the send fails, and
    // neither the message nor the password goes out unencrypted.
    for (const QString &host : {server.host(), QStringLiteral("smtp://127.0.0.1:%1").arg(server.port())}) {
        MailComponent component(quickTimeouts());
        fillPlainMessage(component, host);
        logIn(component);
        SendRecorder recorder(component);
        QVERIFY(recorder.sendAndWait());
        QCOMPARE(recorder.last().failed, 1);
        if (!host.contains(QLatin1String("://")))
            QVERIFY2(recorder.last().explanation.contains(QStringLiteral("TLS handshake")),
                     qPrintable(recorder.last().explanation));
        QVERIFY(!recorder.last().statusText().contains(QStringLiteral("unencrypted")));
        verifyNoPassword(recorder.last());
    }
    QVERIFY(server.messageFiles().isEmpty());
    QVERIFY(server.outputLines(QStringLiteral("AUTH")).isEmpty());
}

void MailSecurityTest::requiredStartTlsFailsWithoutOffer()
{
    CaptureServer server;
    QVERIFY(server.start());
    const std::optional<SendRecord> record = sendPlainMessage(QStringLiteral("smtp://127.0.0.1:%1").arg(server.port()));
    QVERIFY(record);
    QCOMPARE(record->failed, 1);
    QVERIFY2(record->explanation.contains(QStringLiteral("does not offer encryption")),
             qPrintable(record->explanation));
    QVERIFY(server.messageFiles().isEmpty());
}

void MailSecurityTest::implicitTls()
{
    CaptureServer server;
    QVERIFY(server.start({"--implicit-tls", "--cert", m_certs.certFile, "--key", m_certs.keyFile, "--auth-user",
                          User, "--auth-password", Password}));
    const QString url = QStringLiteral("smtps://127.0.0.1:%1").arg(server.port());
    const std::optional<SendRecord> refused = sendPlainMessage(url);
    QVERIFY(refused);
    QCOMPARE(refused->failed, 1);
    QVERIFY2(refused->explanation.contains(QStringLiteral("certificate")), qPrintable(refused->explanation));

    MailComponent component(quickTimeouts(), trustingTestCa());
    fillPlainMessage(component, url);
    logIn(component);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();
    QVERIFY2(record.ok(), qPrintable(record.statusText()));
    QVERIFY2(record.status.contains(QStringLiteral("Connected to 127.0.0.1:%1 with TLS (TLSv1.3)").arg(server.port())),
             qPrintable(record.statusText()));
    QVERIFY(!record.statusText().contains(QStringLiteral("unencrypted")));
    verifyNoPassword(record);
    QVERIFY(server.waitForMessages(1));
}

void MailSecurityTest::secretsNeverInURLOrStatus()
{
    // Credentials typed into the server field are refused, not sent.
    const std::optional<SendRecord> record =
        sendPlainMessage(QStringLiteral("smtp://%1:%2@127.0.0.1:1").arg(User, Password));
    QVERIFY(record);
    QCOMPARE(record->failed, 1);
    QVERIFY(!record->statusText().contains(QStringLiteral("Connecting")));
    verifyNoPassword(*record);
}

QTEST_GUILESS_MAIN(MailSecurityTest)
#include "tst_mail_security.moc"
