// The event-driven POP3 login against a scripted server, for the faults a real
// server never makes (tst_mail_pop logs in to a real Dovecot through the
// component).
#include "mail/MailHarness.h"
#include "mail/Pop3Client.h"

#include <QSslCertificate>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

const QString PopUser = QStringLiteral("popuser");
const QString PopPassword = QStringLiteral("pop-Secret-1");

// Declared before the client, so the client goes first.
struct Session {
    QList<Pop3Result> results;
    QStringList status;
    Pop3Client client{shortTimeouts(std::chrono::seconds(2), std::chrono::seconds(20))};

    Session()
    {
        QObject::connect(&client, &Pop3Client::finished, [this](const Pop3Result &r) { results.append(r); });
        QObject::connect(&client, &Pop3Client::status, [this](const QString &line) { status.append(line); });
    }
    bool waitFinished() { return QTest::qWaitFor([this] { return !results.isEmpty(); }, 15000); }
};

} // namespace

class Pop3ClientTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestCertificates m_certs;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid() && m_certs.make(m_dir.path())); }

    // What the cases below cannot reach from loopback.
    void decision()
    {
        using Next = Pop3Client::Next;
        const auto next = [](bool stlsOffered, const char *peer) {
            return Pop3Client::afterCapabilities(TlsMode::Opportunistic, false, stlsOffered, QHostAddress(peer));
        };
        QCOMPARE(next(false, "203.0.113.5"), Next::ClearToPublic);
        QCOMPARE(next(false, "192.168.10.4"), Next::LoginInClear);
        QCOMPARE(next(true, "203.0.113.5"), Next::StartTls);
        // After STLS, an offer of it again is not taken up.
        QCOMPARE(Pop3Client::afterCapabilities(TlsMode::Required, true, true, QHostAddress("203.0.113.5")), Next::Login);
    }

    void endsBeforeConnecting_data()
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

    void endsBeforeConnecting()
    {
        QFETCH(QString, server);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, reason);
        SilentServer silent;
        QVERIFY(silent.listen());
        Session s;
        s.client.start(server.arg(silent.port()), user, password, {});
        // The caller connects after start(); an end inside it would be lost.
        QVERIFY(s.results.isEmpty() && s.client.isRunning());
        QVERIFY(s.waitFinished());
        QCOMPARE(s.results.size(), 1);
        QVERIFY2(s.results.first().reason.contains(reason), qPrintable(s.results.first().reason));
        QVERIFY(!s.results.first().loggedIn);
        QCOMPARE(silent.accepted(), 0);
    }

    void cancelAbortsAtOnce()
    {
        SilentServer silent;
        QVERIFY(silent.listen());
        Session s;
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

    void scripted_data()
    {
        QTest::addColumn<QString>("mode");   // of tests/support/pop3_script.py
        QTest::addColumn<QString>("scheme"); // "+" at the end: the test CA trusted
        QTest::addColumn<QString>("reason"); // %1: host:port; empty: logged in
        QTest::addColumn<QByteArray>("seen"); // in the server's command log
        QTest::addColumn<bool>("warned");     // of a password sent in the clear
        const QString tlsFailed = QStringLiteral("TLS with %1 failed");
        const QString silent = QStringLiteral("no answer from %1 within 2 seconds");
        QTest::newRow("plain to loopback") << "plain" << "" << "" << QByteArray("CMD PASS plain") << true;
        QTest::newRow("STLS unverified") << "tls" << "" << "" << QByteArray("CMD PASS tls") << false;
        QTest::newRow("STLS verified") << "tls" << "pop3://+" << "" << QByteArray("CMD NOOP tls") << false;
        QTest::newRow("pop3s verified") << "implicit" << "pop3s://+" << "" << QByteArray("CMD PASS tls") << false;
        QTest::newRow("pop3s untrusted") << "implicit" << "pop3s://" << tlsFailed << QByteArray() << false;
        QTest::newRow("line injected after STLS") << "inject" << "" << "" << QByteArray("CMD QUIT tls") << false;
        QTest::newRow("STLS untrusted") << "tls" << "pop3://" << tlsFailed << QByteArray("CMD STLS") << false;
        QTest::newRow("STLS refused") << "stls-refused" << "" << "%1 refused STLS (not today)" << QByteArray("CMD STLS")
                                      << false;
        QTest::newRow("STLS handshake garbage") << "stls-garbage" << "" << tlsFailed << QByteArray("CMD STLS") << false;
        QTest::newRow("pop3:// without STLS") << "plain" << "pop3://+" << "%1 offers no encryption (STLS), which"
                                              << QByteArray("CMD CAPA") << false;
        QTest::newRow("stall at greeting") << "stall-greeting" << "" << silent << QByteArray() << false;
        QTest::newRow("stall in handshake") << "stall-handshake" << "" << silent << QByteArray("CMD STLS") << false;
        QTest::newRow("SMTP server") << "not-pop3" << ""
                                     << "%1 does not answer like a POP3 server (220 mail.example ESMTP)" << QByteArray()
                                     << false;
        QTest::newRow("endless line") << "long-line" << "" << "%1 sent a line longer than 4 KiB" << QByteArray()
                                      << false;
        QTest::newRow("denied, password echoed") << "deny" << "" << "login denied by the server (bad password"
                                                 << QByteArray("CMD PASS plain") << true;
    }

    void scripted()
    {
        QFETCH(QString, mode);
        QFETCH(QString, scheme);
        QFETCH(QString, reason);
        QFETCH(QByteArray, seen);
        QFETCH(bool, warned);
        PeerProcess server;
        const quint16 port = freeTcpPort();
        QVERIFY(server.start(QString::fromLatin1(SystemPython),
                             {supportDir() + QStringLiteral("/pop3_script.py"), "--mode", mode, "--port",
                              QString::number(port), "--cert", m_certs.certFile, "--key", m_certs.keyFile},
                             QStringLiteral("READY")));
        QByteArray said = server.output();
        const auto output = [&] { return said += server.process().readAll(); };
        const QString display = QStringLiteral("127.0.0.1:%1").arg(port);
        const bool trustCa = scheme.endsWith('+');
        Session s;
        s.client.start(scheme.remove('+') + display, PopUser, PopPassword,
                       trustCa ? QSslCertificate::fromPath(m_certs.caFile) : QList<QSslCertificate>());
        QVERIFY(s.waitFinished());
        QCOMPARE(s.results.size(), 1);
        const Pop3Result result = s.results.first();
        QVERIFY2(result.loggedIn == reason.isEmpty(), qPrintable(result.reason));
        QVERIFY2(result.reason.contains(reason.replace(QStringLiteral("%1"), display)), qPrintable(result.reason));
        QVERIFY(!result.reason.contains(PopPassword));
        QCOMPARE(s.status.value(0), QStringLiteral("POP3 login at %1").arg(display));
        QCOMPARE(s.status.contains("Warning: the POP3 password went to the server unencrypted"), warned);
        if (!seen.isEmpty())
            QTRY_VERIFY2(output().contains(seen), said.constData());
        // The password never goes out in the clear unless the server is local and offers no STLS.
        if (!warned)
            QVERIFY2(!output().contains("CMD USER plain"), said.constData());
    }
};

QTEST_GUILESS_MAIN(Pop3ClientTest)
#include "tst_pop3_client.moc"
