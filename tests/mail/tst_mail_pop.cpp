// POP-before-SMTP against a real Dovecot POP3 server on loopback.
#include "mail/MailHarness.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

using namespace corvane;
using namespace corvane::test;

namespace {

const QString Dovecot = QStringLiteral("/usr/sbin/dovecot");
const QString PopUser = QStringLiteral("popuser");
const QString PopPassword = QStringLiteral("pop-Secret-1");

} // namespace

class MailPopTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void popLogin_data();
    void popLogin();
    void popLoginWithoutServerSetting();

private:
    QString dovecotLog() const;

    QTemporaryDir m_dir;
    PeerProcess m_dovecot;
    quint16 m_popPort = 0;
    CaptureServer m_smtp;
};

void MailPopTest::initTestCase()
{
    if (!QFileInfo(Dovecot).isExecutable())
        QSKIP("dovecot is not installed (Debian package dovecot-pop3d)");
    if (::geteuid() != 0)
        QSKIP("Dovecot's POP3 server needs root to start here (it switches to nobody)");
    QVERIFY(m_dir.isValid());
    const QString dir = m_dir.path();
    // The mail processes run as nobody and must reach their folder.
    QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ExeOther | QFile::ReadOther));
    QVERIFY(QDir(dir).mkpath(QStringLiteral("mail")));
    QVERIFY(::chown(QFile::encodeName(dir + QStringLiteral("/mail")).constData(), 65534, 65534) == 0);

    QFile passwd(dir + QStringLiteral("/passwd"));
    QVERIFY(passwd.open(QIODevice::WriteOnly));
    passwd.write((PopUser + QStringLiteral(":{PLAIN}") + PopPassword + QLatin1Char('\n')).toUtf8());
    passwd.close();

    QFile templ(mailTestDir() + QStringLiteral("/dovecot-pop3.conf.in"));
    QVERIFY(templ.open(QIODevice::ReadOnly));
    const QByteArray text = templ.readAll();
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_popPort = freeTcpPort();
        QByteArray config = text;
        config.replace("@DIR@", QFile::encodeName(dir)).replace("@PORT@", QByteArray::number(m_popPort));
        QFile conf(dir + QStringLiteral("/dovecot.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        conf.write(config);
        conf.close();
        if (m_dovecot.start(Dovecot, {QStringLiteral("-F"), QStringLiteral("-c"), conf.fileName()}, QString(), m_popPort))
            break;
        m_dovecot.stop();
        m_popPort = 0;
    }
    QVERIFY2(m_popPort != 0, m_dovecot.output().constData());
    QVERIFY(m_smtp.start());
}

QString MailPopTest::dovecotLog() const
{
    QFile log(m_dir.path() + QStringLiteral("/dovecot.log"));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

void MailPopTest::popLogin_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("right password") << PopPassword << true;
    QTest::newRow("wrong password") << QStringLiteral("not-the-Secret") << false;
}

void MailPopTest::popLogin()
{
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_smtp.host());
    component.setPopLogin(true);
    component.setPop3Host(QStringLiteral("127.0.0.1:%1").arg(m_popPort));
    component.setUserName(PopUser);
    component.setPassword(password);
    const int before = static_cast<int>(m_smtp.messageFiles().size());
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    const SendRecord &record = recorder.last();

    // Either way the message goes out, after the POP3 step.
    QVERIFY2(record.ok(), qPrintable(record.statusText()));
    QVERIFY(m_smtp.waitForMessages(before + 1));
    const QString text = record.statusText();
    QVERIFY(text.indexOf(QStringLiteral("POP3 login at 127.0.0.1:%1").arg(m_popPort)) == 0);
    if (accepted) {
        QVERIFY2(text.contains(QStringLiteral("POP3 login succeeded as popuser")), qPrintable(text));
        QTRY_VERIFY_WITH_TIMEOUT(dovecotLog().contains(QStringLiteral("Login: user=<popuser>")), 5000);
    } else {
        QVERIFY2(text.contains(QStringLiteral("POP3 login failed: login denied by the server")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("sending anyway")));
    }
    QVERIFY(text.indexOf(QStringLiteral("POP3 login")) < text.indexOf(QStringLiteral("Connecting to")));
    QVERIFY(!text.contains(password));
    QVERIFY(!text.contains(QString::fromLatin1(password.toUtf8().toBase64())));
}

void MailPopTest::popLoginWithoutServerSetting()
{
    MailComponent component(quickTimeouts());
    fillPlainMessage(component, m_smtp.host());
    component.setPopLogin(true);
    component.setUserName(PopUser);
    component.setPassword(PopPassword);
    SendRecorder recorder(component);
    QVERIFY(recorder.sendAndWait());
    QVERIFY(recorder.last().ok());
    QCOMPARE(recorder.last().status.first(), QStringLiteral("POP3 login skipped: no POP3 server is set"));
}

QTEST_GUILESS_MAIN(MailPopTest)
#include "tst_mail_pop.moc"
