// The event-driven POP3 login against a scripted server, for the faults a real
// server never makes (tst_mail_pop logs in to a real Dovecot through the
// component).
#include "mail/MailHarness.h"
#include "mail/Pop3Client.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTest>

#include <unistd.h>

using namespace corvane;
using namespace corvane::test;

namespace {

const QString PopUser = QStringLiteral("popuser");
const QString PopPassword = QStringLiteral("pop-Secret-1");
const QString Warning = QStringLiteral("Warning: the POP3 password went to the server unencrypted");

MailTimeouts twoSeconds()
{
    return shortTimeouts(std::chrono::seconds(2), std::chrono::seconds(20));
}

// Declared before the client, so the client goes first.
struct Session {
    QList<Pop3Result> results;
    QStringList status;
    Pop3Client client;

    explicit Session(MailTimeouts timeouts) : client(timeouts)
    {
        QObject::connect(&client, &Pop3Client::finished, [this](const Pop3Result &r) { results.append(r); });
        QObject::connect(&client, &Pop3Client::status, [this](const QString &line) { status.append(line); });
    }
    bool waitFinished() { return QTest::qWaitFor([this] { return !results.isEmpty(); }, 15000); }
};

// tests/support/pop3_script.py on a port of its choosing.
class ScriptServer {
public:
    bool start(const QString &mode, const TestCertificates &certs)
    {
        if (!m_peer.start(QString::fromLatin1(SystemPython),
                          {supportDir() + QStringLiteral("/pop3_script.py"), QStringLiteral("--mode"), mode,
                           QStringLiteral("--cert"), certs.certFile, QStringLiteral("--key"), certs.keyFile},
                          QStringLiteral("READY")))
            return false;
        const auto match = QRegularExpression(QStringLiteral("READY (\\d+)")).match(QString::fromUtf8(m_peer.output()));
        m_port = match.captured(1).toUShort();
        return m_port != 0;
    }
    quint16 port() const { return m_port; }
    QByteArray output()
    {
        m_later += m_peer.process().readAll();
        return m_peer.output() + m_later;
    }

private:
    PeerProcess m_peer;
    QByteArray m_later;
    quint16 m_port = 0;
};

} // namespace

class Pop3ClientTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void decision_data();
    void decision();
    void endsBeforeConnecting_data();
    void endsBeforeConnecting();
    void cancelAbortsAtOnce();
    void scripted_data();
    void scripted();

private:

    QTemporaryDir m_dir;
    TestCertificates m_certs;
};

void Pop3ClientTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_certs.make(m_dir.path()));
}

void Pop3ClientTest::decision_data()
{
    using Next = Pop3Client::Next;
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<bool>("stlsOffered");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("next");
    const int opportunistic = int(TlsMode::Opportunistic);
    const int required = int(TlsMode::Required);
    QTest::newRow("public, no STLS") << opportunistic << false << false << "203.0.113.5" << int(Next::ClearToPublic);
    QTest::newRow("private, no STLS") << opportunistic << false << false << "192.168.10.4" << int(Next::LoginInClear);
    QTest::newRow("public, STLS") << opportunistic << false << true << "203.0.113.5" << int(Next::StartTls);
    QTest::newRow("pop3:// local, no STLS") << required << false << false << "127.0.0.1" << int(Next::NoTlsOffered);
    QTest::newRow("after STLS, offered again") << required << true << true << "203.0.113.5" << int(Next::Login);
}

void Pop3ClientTest::decision()
{
    QFETCH(int, mode);
    QFETCH(bool, encrypted);
    QFETCH(bool, stlsOffered);
    QFETCH(QString, peer);
    QFETCH(int, next);
    QCOMPARE(int(Pop3Client::afterCapabilities(TlsMode(mode), encrypted, stlsOffered, QHostAddress(peer))), next);
}

void Pop3ClientTest::endsBeforeConnecting_data()
{
    QTest::addColumn<QString>("server"); // %1: a port that counts connections
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("reason");
    QTest::newRow("credentials in the setting") << "pop3://me:pw@127.0.0.1:%1" << PopUser << PopPassword
                                                << "POP3 server setting";
    QTest::newRow("no user") << "127.0.0.1:%1" << QString() << PopPassword << "no user name is set";
    QTest::newRow("command in the user name") << "127.0.0.1:%1" << "me\r\nDELE 1" << PopPassword << "line break";
    QTest::newRow("command in the password") << "127.0.0.1:%1" << PopUser << "pw\nDELE 1" << "line break";
}

void Pop3ClientTest::endsBeforeConnecting()
{
    QFETCH(QString, server);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, reason);
    SilentServer silent;
    QVERIFY(silent.listen());
    Session s(twoSeconds());
    s.client.start(server.arg(silent.port()), user, password, {});
    // The caller connects after start(); an end inside it would be lost.
    QVERIFY(s.results.isEmpty());
    QVERIFY(s.client.isRunning());
    QVERIFY(s.waitFinished());
    QCOMPARE(s.results.size(), 1);
    QVERIFY2(s.results.first().reason.contains(reason), qPrintable(s.results.first().reason));
    QVERIFY(!s.results.first().loggedIn);
    QCOMPARE(silent.accepted(), 0);
}

void Pop3ClientTest::cancelAbortsAtOnce()
{
    SilentServer silent;
    QVERIFY(silent.listen());
    Session s(twoSeconds());
    s.client.start(QStringLiteral("127.0.0.1:%1").arg(silent.port()), PopUser, PopPassword, {});
    QTRY_COMPARE(silent.openConnections(), 1);
    s.client.cancel();
    QCOMPARE(s.results.size(), 1);
    QCOMPARE(s.results.first().reason, QStringLiteral("cancelled"));
    QVERIFY(!s.client.isRunning());
    QTRY_COMPARE(silent.openConnections(), 0);
    s.client.cancel();
    QCOMPARE(s.results.size(), 1);
}

void Pop3ClientTest::scripted_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("trustCa");
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("reason");   // %1: host:port
    QTest::addColumn<QByteArray>("seen");  // in the server's command log
    QTest::addColumn<bool>("warned");
    QTest::newRow("plain to loopback") << "plain" << "" << false << true << "" << QByteArray("CMD PASS plain") << true;
    QTest::newRow("STLS unverified") << "tls" << "" << false << true << "" << QByteArray("CMD PASS tls") << false;
    QTest::newRow("STLS verified") << "tls" << "pop3://" << true << true << "" << QByteArray("CMD NOOP tls") << false;
    QTest::newRow("pop3s verified") << "implicit" << "pop3s://" << true << true << "" << QByteArray("CMD PASS tls")
                                    << false;
    QTest::newRow("pop3s untrusted") << "implicit" << "pop3s://" << false << false << "TLS with %1 failed"
                                     << QByteArray() << false;
    QTest::newRow("line injected after STLS") << "inject" << "" << false << true << ""
                                              << QByteArray("CMD QUIT tls") << false;
    QTest::newRow("STLS untrusted") << "tls" << "pop3://" << false << false << "TLS with %1 failed"
                                    << QByteArray("CMD STLS") << false;
    QTest::newRow("STLS refused") << "stls-refused" << "" << false << false << "%1 refused STLS (not today)"
                                  << QByteArray("CMD STLS") << false;
    QTest::newRow("STLS handshake garbage") << "stls-garbage" << "" << false << false << "TLS with %1 failed"
                                            << QByteArray("CMD STLS") << false;
    QTest::newRow("pop3:// without STLS") << "plain" << "pop3://" << true << false
                                          << "%1 offers no encryption (STLS), which" << QByteArray("CMD CAPA") << false;
    QTest::newRow("stall at greeting") << "stall-greeting" << "" << false << false
                                       << "no answer from %1 within 2 seconds" << QByteArray() << false;
    QTest::newRow("stall in handshake") << "stall-handshake" << "" << false << false
                                        << "no answer from %1 within 2 seconds" << QByteArray("CMD STLS") << false;
    QTest::newRow("SMTP server") << "not-pop3" << "" << false << false
                                 << "%1 does not answer like a POP3 server (220 mail.example ESMTP)" << QByteArray()
                                 << false;
    QTest::newRow("endless line") << "long-line" << "" << false << false << "%1 sent a line longer than 4 KiB"
                                  << QByteArray() << false;
    QTest::newRow("denied, password echoed") << "deny" << "" << false << false << "login denied by the server (bad password"
                                             << QByteArray("CMD PASS plain") << true;
}

void Pop3ClientTest::scripted()
{
    QFETCH(QString, mode);
    QFETCH(QString, scheme);
    QFETCH(bool, trustCa);
    QFETCH(bool, loggedIn);
    QFETCH(QString, reason);
    QFETCH(QByteArray, seen);
    QFETCH(bool, warned);
    ScriptServer server;
    QVERIFY(server.start(mode, m_certs));
    const QString display = QStringLiteral("127.0.0.1:%1").arg(server.port());
    Session s(twoSeconds());
    const QList<QSslCertificate> ca = trustCa ? QSslCertificate::fromPath(m_certs.caFile) : QList<QSslCertificate>();
    s.client.start(scheme + display, PopUser, PopPassword, ca);
    QVERIFY(s.waitFinished());
    QCOMPARE(s.results.size(), 1);
    const Pop3Result result = s.results.first();
    QVERIFY2(result.loggedIn == loggedIn, qPrintable(result.reason));
    QVERIFY2(result.reason.contains(reason.replace(QStringLiteral("%1"), display)), qPrintable(result.reason));
    QVERIFY(!result.reason.contains(PopPassword));
    QCOMPARE(s.status.value(0), QStringLiteral("POP3 login at %1").arg(display));
    QCOMPARE(s.status.contains(Warning), warned);
    if (!seen.isEmpty())
        QTRY_VERIFY2(server.output().contains(seen), server.output().constData());
    // The password never goes out in the clear unless the server is local and offers no STLS.
    if (!warned)
        QVERIFY2(!server.output().contains("CMD USER plain"), server.output().constData());
}

QTEST_GUILESS_MAIN(Pop3ClientTest)
#include "tst_pop3_client.moc"
