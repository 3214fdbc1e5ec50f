#include "check/AccountCheck.h"

#include "check/SmtpDialogue.h"
#include "intake/NotificationQueue.h"
#include "mail/MailNetwork.h"
#include "mail/Pop3Client.h"
#include "mail/MailAddresses.h"
#include "storage/SettingsStore.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonArray>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QSslCertificate>
#include <QSysInfo>
#include <QTimer>

#include <set>

namespace corvane {

namespace {

const char *const kAccountDialog = "Settings > Sending Email Account";

QString tlsModeText(TlsMode mode)
{
    switch (mode) {
    case TlsMode::Implicit: return QStringLiteral("implicit TLS (TLS from the first byte)");
    case TlsMode::Required: return QStringLiteral("STARTTLS required, the certificate must verify");
    case TlsMode::Opportunistic: break;
    }
    return QStringLiteral("STARTTLS when offered, certificate not verified");
}

QString tlsModeKey(TlsMode mode)
{
    switch (mode) {
    case TlsMode::Implicit: return QStringLiteral("implicit");
    case TlsMode::Required: return QStringLiteral("required");
    case TlsMode::Opportunistic: break;
    }
    return QStringLiteral("opportunistic");
}

// The same name the mail component gives in EHLO.
QByteArray machineHeloName()
{
    QByteArray name;
    for (char c : QSysInfo::machineHostName().toLatin1()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.')
            name += c;
    }
    return name.isEmpty() ? QByteArray("localhost") : name;
}

QString dateText(const QDateTime &when)
{
    return QLocale::c().toString(when.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

} // namespace

AccountCheck::AccountCheck(AccountCheckOptions options) : m_options(std::move(options)) {}

AccountCheck::~AccountCheck() = default;

CheckReport AccountCheck::run()
{
    const bool ready = checkSettings() && checkServer() && checkPop3() && checkResolve() && checkConnect();
    if (!ready) {
        skipRest(CheckStage::Server, CheckStage::Close);
        return m_report;
    }
    // With implicit TLS the handshake comes before the greeting.
    const bool implicit = m_endpoint.tls == TlsMode::Implicit;
    const bool session = implicit ? checkTls() && checkGreeting() : checkGreeting() && checkTls();
    if (session && checkLogin() && checkSender())
        checkRecipients();
    // Whatever failed, a live connection is ended politely.
    checkClose();
    return m_report;
}

void AccountCheck::begin()
{
    m_stageTimer.start();
}

void AccountCheck::finish(CheckStageResult result)
{
    result.elapsed = std::chrono::milliseconds(m_stageTimer.isValid() ? m_stageTimer.elapsed() : 0);
    m_report.add(std::move(result));
}

bool AccountCheck::pass(CheckStageResult result)
{
    result.verdict = CheckVerdict::Passed;
    finish(std::move(result));
    return true;
}

bool AccountCheck::fail(CheckStageResult result, const QString &summary, const QString &advice)
{
    result.verdict = CheckVerdict::Failed;
    result.summary = summary;
    result.advice = advice;
    finish(std::move(result));
    return false;
}

void AccountCheck::skipRest(CheckStage from, CheckStage to)
{
    for (int s = static_cast<int>(from); s <= static_cast<int>(to); ++s) {
        const auto stage = static_cast<CheckStage>(s);
        if (m_report.find(stage))
            continue;
        CheckStageResult result;
        result.stage = stage;
        result.summary = QStringLiteral("not tried");
        m_report.add(std::move(result));
    }
}

bool AccountCheck::checkSettings()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Settings;
    m_settings.SettingsFilePath = QDir(m_options.folder).filePath(QStringLiteral("Corvane.ini"));
    const QString path = QDir::toNativeSeparators(m_settings.SettingsFilePath);
    result.data.insert(QStringLiteral("path"), path);

    const bool exists = QFileInfo::exists(m_settings.SettingsFilePath);
    result.data.insert(QStringLiteral("found"), exists);
    // Exactly the reading the service does at start-up.
    const Result loaded = LoadAllSettings(m_settings);
    if (!loaded) {
        return fail(result, loaded.error,
                    QStringLiteral("Give the account that runs Corvane read access to the settings file."));
    }
    result.summary = exists ? QStringLiteral("%1 read").arg(path)
                            : QStringLiteral("%1 not found: the defaults are in use").arg(path);
    const AccountSettingsRecord &a = m_settings.AccountSettings;
    result.details << QStringLiteral("Login %1, POP login %2")
                          .arg(a.UseLogin ? QStringLiteral("on") : QStringLiteral("off"),
                               a.UsePopLogin ? QStringLiteral("on") : QStringLiteral("off"));
    result.data.insert(QStringLiteral("login"), a.UseLogin);
    result.data.insert(QStringLiteral("popLogin"), a.UsePopLogin);
    return pass(result);
}

bool AccountCheck::checkServer()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Server;
    const QString text = m_settings.AccountSettings.SmtpServer;
    result.data.insert(QStringLiteral("setting"), mail::settingForDisplay(text));
    m_endpoint = ServerEndpoint::parse(text, MailProtocol::Smtp);
    if (!m_endpoint.valid) {
        const QString advice = text.trimmed().isEmpty()
            ? QStringLiteral("Enter the SMTP server in %1 (SMPT_Server in Corvane.ini), for example "
                             "smtp.example.com:587.").arg(QLatin1String(kAccountDialog))
            : QStringLiteral("Write the server as host, host:port, smtp://host:port (STARTTLS) or "
                             "smtps://host:port (TLS from the first byte).");
        return fail(result, QStringLiteral("SMPT_Server \"%1\": %2").arg(mail::settingForDisplay(text),
                                                                          m_endpoint.problem),
                    advice);
    }
    result.summary = QStringLiteral("host %1, port %2, %3")
                         .arg(m_endpoint.host)
                         .arg(m_endpoint.port)
                         .arg(tlsModeText(m_endpoint.tls));
    result.data.insert(QStringLiteral("host"), m_endpoint.host);
    result.data.insert(QStringLiteral("port"), m_endpoint.port);
    result.data.insert(QStringLiteral("tls"), tlsModeKey(m_endpoint.tls));
    return pass(result);
}

bool AccountCheck::checkPop3()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Pop3Login;
    const AccountSettingsRecord &a = m_settings.AccountSettings;
    if (!a.UsePopLogin) {
        result.summary = QStringLiteral("POP login is off");
        finish(std::move(result));
        return true;
    }
    // The service logs in to the POP3 server before every SMTP session.
    QList<QSslCertificate> authorities;
    const QString caFile = m_options.caFile.isEmpty() ? a.CaFile : m_options.caFile;
    if (!caFile.isEmpty())
        authorities = QSslCertificate::fromPath(caFile, QSsl::Pem);
    Pop3Client login(m_options.timeouts);
    Pop3Result outcome;
    QEventLoop loop;
    QObject::connect(&login, &Pop3Client::status, &loop, [&result](const QString &line) { result.details << line; });
    QObject::connect(&login, &Pop3Client::finished, &loop, [&](const Pop3Result &done) {
        outcome = done;
        loop.quit();
    });
    login.start(a.Pop3Server, a.UserName, a.UserPassword, authorities);
    loop.exec();
    result.data.insert(QStringLiteral("server"), mail::settingForDisplay(a.Pop3Server));
    result.data.insert(QStringLiteral("loggedIn"), outcome.loggedIn);
    if (!outcome.loggedIn) {
        return fail(result, outcome.reason,
                    QStringLiteral("Check POP3_Server, the user name and the password in %1, or turn POP login "
                                   "off if the mail server does not need it.")
                        .arg(QLatin1String(kAccountDialog)));
    }
    result.summary = QStringLiteral("logged in as %1").arg(mail::printable(a.UserName));
    return pass(result);
}

bool AccountCheck::checkResolve()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Resolve;
    QHostAddress literal;
    if (literal.setAddress(m_endpoint.host)) {
        m_addresses = {literal};
    } else {
        QEventLoop loop;
        QHostInfo info;
        bool answered = false;
        const int id = QHostInfo::lookupHost(m_endpoint.host, &loop, [&](const QHostInfo &answer) {
            info = answer;
            answered = true;
            loop.quit();
        });
        QTimer::singleShot(m_options.timeouts.connect, &loop, &QEventLoop::quit);
        loop.exec();
        if (!answered) {
            QHostInfo::abortHostLookup(id);
            return fail(result, QStringLiteral("no answer for %1 in time").arg(m_endpoint.host),
                        QStringLiteral("This machine's name service does not answer: check /etc/resolv.conf and "
                                       "the network."));
        }
        m_addresses = info.addresses();
        if (info.error() != QHostInfo::NoError || m_addresses.isEmpty()) {
            return fail(result, QStringLiteral("%1 cannot be found (%2)").arg(m_endpoint.host, info.errorString()),
                        QStringLiteral("Check the spelling of the server name and that this machine can resolve "
                                       "names (getent hosts %1).").arg(m_endpoint.host));
        }
    }
    QStringList texts;
    for (const QHostAddress &address : m_addresses)
        texts << address.toString();
    result.summary = texts.join(QStringLiteral(", "));
    result.data.insert(QStringLiteral("addresses"), QJsonArray::fromStringList(texts));
    return pass(result);
}

bool AccountCheck::checkConnect()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Connect;
    SmtpDialogue::Timeouts timeouts;
    timeouts.connect = m_options.timeouts.connect;
    timeouts.reply = m_options.timeouts.serverReply;
    // Counted from here, like the mail component's limit for one attempt.
    timeouts.whole = QDeadlineTimer(m_options.timeouts.wholeAttempt);
    QList<QSslCertificate> authorities;
    if (!m_options.caFile.isEmpty()) {
        authorities = QSslCertificate::fromPath(m_options.caFile);
        if (authorities.isEmpty()) {
            return fail(result, QStringLiteral("no certificate in %1").arg(m_options.caFile),
                        QStringLiteral("Give --ca-file a PEM file with the authority's certificate."));
        }
    }
    m_dialogue = std::make_unique<SmtpDialogue>(timeouts, authorities);

    QString lastFailure;
    bool refused = false;
    for (const QHostAddress &address : m_addresses) {
        QString failure;
        if (m_dialogue->connectTo(address, m_endpoint.port, &failure)) {
            result.summary = QStringLiteral("connected to %1 port %2").arg(address.toString()).arg(m_endpoint.port);
            result.data.insert(QStringLiteral("address"), address.toString());
            m_connectedAddress = address;
            return pass(result);
        }
        refused = refused || failure.contains(QLatin1String("refused"), Qt::CaseInsensitive);
        result.details << QStringLiteral("%1: %2").arg(address.toString(), failure);
        lastFailure = failure;
    }
    m_dialogue.reset();
    const QString advice = refused
        ? QStringLiteral("Nothing listens on port %1 there: check the port number and that the server runs.")
              .arg(m_endpoint.port)
        : QStringLiteral("The connection attempt got no answer: a firewall probably drops traffic to port %1.")
              .arg(m_endpoint.port);
    return fail(result, QStringLiteral("no connection to %1: %2").arg(m_endpoint.display, lastFailure), advice);
}

bool AccountCheck::checkGreeting()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Greeting;
    const SmtpReply greeting = m_dialogue->readReply();
    if (!greeting.received()) {
        const QString advice = m_endpoint.tls == TlsMode::Implicit
            ? QStringLiteral("The server said nothing after the TLS handshake: it may be overloaded or not a mail "
                             "server.")
            : QStringLiteral("No SMTP greeting: the port may expect TLS from the first byte (write "
                             "smtps://%1:%2), or the server is overloaded.").arg(m_endpoint.host).arg(m_endpoint.port);
        return fail(result, greeting.failure, advice);
    }
    result.details << QStringLiteral("greeting: %1").arg(greeting.text());
    result.data.insert(QStringLiteral("greeting"), greeting.text());
    if (greeting.code != 220) {
        return fail(result, QStringLiteral("the server turned us away: %1").arg(greeting.text()),
                    QStringLiteral("The server does not accept connections from this machine now: ask its "
                                   "administrator."));
    }
    if (!ehlo(result)) {
        return fail(result, QStringLiteral("EHLO and HELO refused: %1").arg(result.summary),
                    QStringLiteral("The server refuses our greeting: set a proper host name for this machine."));
    }
    return pass(result);
}

bool AccountCheck::ehlo(CheckStageResult &result)
{
    const QByteArray name = m_options.heloName.isEmpty() ? machineHeloName() : m_options.heloName.toLatin1();
    SmtpReply reply = m_dialogue->command("EHLO " + name);
    m_capabilities = {};
    if (!reply.ok()) {
        // As the mail library does: an old server gets HELO.
        reply = m_dialogue->command("HELO " + name);
        result.summary = reply.text();
        if (!reply.ok())
            return false;
        result.summary = QStringLiteral("HELO accepted (the server knows no EHLO: no capabilities)");
        return true;
    }
    for (qsizetype i = 1; i < reply.lines.size(); ++i) {
        const QString line = reply.lines.at(i);
        m_capabilities.lines << line;
        const QString keyword = line.section(QLatin1Char(' '), 0, 0).toUpper();
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (keyword == QLatin1String("STARTTLS")) {
            m_capabilities.startTls = true;
        } else if (keyword == QLatin1String("PIPELINING")) {
            m_capabilities.pipelining = true;
        } else if (keyword == QLatin1String("SIZE")) {
            m_capabilities.sizeLimit = words.size() > 1 ? words.at(1).toLongLong() : 0;
        } else if (keyword == QLatin1String("AUTH") || keyword.startsWith(QLatin1String("AUTH="))) {
            QStringList mechanisms = keyword == QLatin1String("AUTH") ? words.mid(1)
                                                                       : line.mid(5).split(QLatin1Char(' '));
            for (const QString &mechanism : mechanisms) {
                const QString upper = mechanism.toUpper();
                if (!upper.isEmpty() && !m_capabilities.authMechanisms.contains(upper))
                    m_capabilities.authMechanisms << upper;
            }
        }
    }
    const Capabilities &c = m_capabilities;
    const QString size = c.sizeLimit < 0 ? QStringLiteral("not announced")
        : c.sizeLimit == 0                ? QStringLiteral("no limit")
                                          : QStringLiteral("%1 bytes").arg(c.sizeLimit);
    const QString auth = c.authMechanisms.isEmpty() ? QStringLiteral("none") : c.authMechanisms.join(QLatin1Char(' '));
    result.summary = QStringLiteral("EHLO accepted; size limit %1, AUTH %2, STARTTLS %3, PIPELINING %4")
                         .arg(size, auth, c.startTls ? QStringLiteral("yes") : QStringLiteral("no"),
                              c.pipelining ? QStringLiteral("yes") : QStringLiteral("no"));
    QJsonObject caps{
        {QStringLiteral("size"), c.sizeLimit},
        {QStringLiteral("auth"), QJsonArray::fromStringList(c.authMechanisms)},
        {QStringLiteral("starttls"), c.startTls},
        {QStringLiteral("pipelining"), c.pipelining},
        {QStringLiteral("lines"), QJsonArray::fromStringList(c.lines)},
    };
    result.data.insert(QStringLiteral("capabilities"), caps);
    return true;
}

void AccountCheck::describeCertificate(CheckStageResult &result) const
{
    const QSslCertificate certificate = m_dialogue->peerCertificate();
    const QString subject = certificate.subjectDisplayName();
    const QString issuer = certificate.issuerDisplayName();
    const QDateTime expiry = certificate.expiryDate();
    result.details << QStringLiteral("protocol %1, cipher %2").arg(m_dialogue->protocolName(), m_dialogue->cipherName());
    result.details << QStringLiteral("certificate subject: %1").arg(subject);
    result.details << QStringLiteral("certificate issuer: %1").arg(issuer);
    result.details << QStringLiteral("certificate expires: %1").arg(dateText(expiry));
    QStringList problems;
    for (const QSslError &error : m_dialogue->handshakeErrors())
        problems << error.errorString();
    result.details << (problems.isEmpty() ? QStringLiteral("certificate verified")
                                          : QStringLiteral("certificate NOT verified: %1")
                                                .arg(problems.join(QStringLiteral("; "))));
    result.data.insert(QStringLiteral("protocol"), m_dialogue->protocolName());
    result.data.insert(QStringLiteral("cipher"), m_dialogue->cipherName());
    result.data.insert(QStringLiteral("subject"), subject);
    result.data.insert(QStringLiteral("issuer"), issuer);
    result.data.insert(QStringLiteral("expires"), expiry.toUTC().toString(Qt::ISODate));
    result.data.insert(QStringLiteral("verified"), problems.isEmpty());
    result.data.insert(QStringLiteral("problems"), QJsonArray::fromStringList(problems));
}

bool AccountCheck::checkTls()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Tls;
    const bool implicit = m_endpoint.tls == TlsMode::Implicit;
    if (!implicit) {
        if (!m_capabilities.startTls) {
            if (m_endpoint.tls == TlsMode::Required) {
                return fail(result, QStringLiteral("the server offers no STARTTLS on a port that requires it"),
                            QStringLiteral("Use the server's TLS port (smtps://%1:465), or ask its administrator "
                                           "to offer STARTTLS on port %2.").arg(m_endpoint.host).arg(m_endpoint.port));
            }
            // The same rule as the mail library: a password goes unencrypted
            // only to a server on this machine or on a private network.
            if (m_settings.AccountSettings.UseLogin && !mail::isLocalOrPrivate(m_connectedAddress)) {
                return fail(result, QStringLiteral("no STARTTLS offered, and %1 is neither this machine nor on a "
                                                   "private network: the service will not send the password "
                                                   "unencrypted").arg(m_connectedAddress.toString()),
                            QStringLiteral("Use the server's submission port with STARTTLS (smtp://%1:587) or its "
                                           "TLS port (smtps://%1:465).").arg(m_endpoint.host));
            }
            result.summary = QStringLiteral("no STARTTLS offered: the service sends unencrypted");
            result.data.insert(QStringLiteral("encrypted"), false);
            return pass(result);
        }
        const SmtpReply reply = m_dialogue->command("STARTTLS");
        if (reply.code != 220) {
            return fail(result, QStringLiteral("STARTTLS refused: %1").arg(reply.text()),
                        QStringLiteral("The server announced STARTTLS but refused it: ask its administrator."));
        }
    }
    QString failure;
    if (!m_dialogue->startTls(m_endpoint.host, &failure)) {
        const QString advice = implicit
            ? QStringLiteral("The port does not speak TLS from the first byte: write smtp://%1:%2 to use STARTTLS.")
                  .arg(m_endpoint.host).arg(m_endpoint.port)
            : QStringLiteral("The TLS handshake failed: the server may only offer old TLS versions, which this "
                             "machine refuses.");
        m_dialogue->close();
        return fail(result, QStringLiteral("TLS handshake failed: %1").arg(failure), advice);
    }
    result.data.insert(QStringLiteral("encrypted"), true);
    describeCertificate(result);

    const QList<QSslError> errors = m_dialogue->handshakeErrors();
    if (!errors.isEmpty() && m_endpoint.verifiesCertificate()) {
        const QSslCertificate certificate = m_dialogue->peerCertificate();
        QString advice = QStringLiteral("The certificate is not signed by an authority this machine trusts: add the "
                                        "site's CA certificate to the system's store (update-ca-certificates).");
        for (const QSslError &error : errors) {
            if (error.error() == QSslError::CertificateExpired) {
                advice = QStringLiteral("The server's certificate expired on %1: its administrator must renew it.")
                             .arg(dateText(certificate.expiryDate()));
                break;
            }
            if (error.error() == QSslError::HostNameMismatch) {
                advice = QStringLiteral("The certificate is made out to another name: write the name it carries "
                                        "(%1) in the server setting.").arg(certificate.subjectDisplayName());
                break;
            }
        }
        // The password must not go to a server we could not verify.
        return fail(result, QStringLiteral("%1, certificate not verified").arg(m_dialogue->protocolName()), advice);
    }
    result.summary = QStringLiteral("%1, certificate %2")
                         .arg(m_dialogue->protocolName(),
                              errors.isEmpty() ? QStringLiteral("verified")
                                               : QStringLiteral("not verified (not required for this server "
                                                                "setting)"));
    if (implicit)
        return pass(result);
    // Everything said before STARTTLS is forgotten; AUTH often appears only now.
    CheckStageResult again;
    if (!ehlo(again)) {
        return fail(result, QStringLiteral("EHLO after STARTTLS refused: %1").arg(again.summary),
                    QStringLiteral("The server refuses our greeting after STARTTLS: ask its administrator."));
    }
    result.details << QStringLiteral("after STARTTLS: %1").arg(again.summary);
    result.data.insert(QStringLiteral("capabilities"), again.data.value(QStringLiteral("capabilities")));
    return pass(result);
}

bool AccountCheck::checkLogin()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Login;
    const AccountSettingsRecord &a = m_settings.AccountSettings;
    if (!a.UseLogin) {
        result.summary = QStringLiteral("Login is off");
        finish(std::move(result));
        return true;
    }
    const QString user = mail::printable(a.UserName);
    result.data.insert(QStringLiteral("user"), user);
    if (a.UserName.isEmpty()) {
        return fail(result, QStringLiteral("Login is on but no user name is set"),
                    QStringLiteral("Enter the user name in %1, or turn Login off.").arg(QLatin1String(kAccountDialog)));
    }
    const QStringList &offered = m_capabilities.authMechanisms;
    if (offered.isEmpty()) {
        return fail(result, QStringLiteral("the server offers no login (AUTH) here"),
                    m_dialogue->isEncrypted() || m_endpoint.tls == TlsMode::Implicit
                        ? QStringLiteral("Turn Login off, or use the server's port for sending with a login (587 or "
                                         "465).")
                        : QStringLiteral("Many servers offer a login only over TLS: use smtp://%1:587 or "
                                         "smtps://%1:465, or turn Login off.").arg(m_endpoint.host));
    }
    const QByteArray userBytes = a.UserName.toUtf8();
    const QByteArray passBytes = a.UserPassword.toUtf8();
    SmtpReply reply;
    QString mechanism;
    // Neither the password nor anything made from it is kept or shown.
    if (offered.contains(QLatin1String("PLAIN"))) {
        mechanism = QStringLiteral("PLAIN");
        reply = m_dialogue->command("AUTH PLAIN " + (QByteArray(1, '\0') + userBytes + '\0' + passBytes).toBase64());
    } else if (offered.contains(QLatin1String("LOGIN"))) {
        mechanism = QStringLiteral("LOGIN");
        reply = m_dialogue->command("AUTH LOGIN");
        if (reply.code == 334)
            reply = m_dialogue->command(userBytes.toBase64());
        if (reply.code == 334)
            reply = m_dialogue->command(passBytes.toBase64());
    } else if (offered.contains(QLatin1String("CRAM-MD5"))) {
        mechanism = QStringLiteral("CRAM-MD5");
        reply = m_dialogue->command("AUTH CRAM-MD5");
        if (reply.code == 334) {
            const QByteArray challenge = QByteArray::fromBase64(reply.lines.value(0).toLatin1());
            const QByteArray digest =
                QMessageAuthenticationCode::hash(challenge, passBytes, QCryptographicHash::Md5).toHex();
            reply = m_dialogue->command((userBytes + ' ' + digest).toBase64());
        }
    } else {
        result.summary = QStringLiteral("the server offers only %1, which this check cannot try")
                             .arg(offered.join(QLatin1Char(' ')));
        finish(std::move(result));
        return true;
    }
    result.data.insert(QStringLiteral("mechanism"), mechanism);
    // A reply to a half-finished exchange would be a challenge, not an answer.
    const QString answer = reply.code == 334 ? QStringLiteral("%1 (the exchange did not end)").arg(reply.code)
                                             : reply.text();
    result.data.insert(QStringLiteral("reply"), answer);
    if (reply.code != 235) {
        if (reply.code == 334)
            m_dialogue->command("*"); // cancels the exchange
        return fail(result, QStringLiteral("login as %1 refused: %2").arg(user, answer),
                    reply.code == 535 || reply.code == 334
                        ? QStringLiteral("The server refused the user name or password: retype both in %1.")
                              .arg(QLatin1String(kAccountDialog))
                        : QStringLiteral("The server did not accept the login: read its answer above, or ask its "
                                         "administrator."));
    }
    result.summary = QStringLiteral("logged in as %1 (AUTH %2)").arg(user, mechanism);
    return pass(result);
}

bool AccountCheck::checkSender()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Sender;
    const QString sender = m_settings.AccountSettings.SenderEmail;
    result.data.insert(QStringLiteral("address"), mail::printable(sender));
    if (sender.isEmpty()) {
        return fail(result, QStringLiteral("no sender address is set"),
                    QStringLiteral("Enter the sender address in %1 (Sender_Email).").arg(QLatin1String(kAccountDialog)));
    }
    if (const QString problem = mail::envelopeProblem(sender); !problem.isEmpty()) {
        return fail(result, QStringLiteral("the sender address %1 cannot be used: %2").arg(mail::printable(sender), problem),
                    QStringLiteral("Correct the sender address in %1.").arg(QLatin1String(kAccountDialog)));
    }
    const SmtpReply reply = m_dialogue->command("MAIL FROM:<" + sender.toUtf8() + '>');
    result.data.insert(QStringLiteral("reply"), reply.text());
    if (!reply.received()) {
        return fail(result, QStringLiteral("MAIL FROM:<%1>: %2").arg(sender, reply.failure),
                    QStringLiteral("The server stopped answering: it may be overloaded or a filter holds the "
                                   "connection; try again later."));
    }
    if (!reply.ok()) {
        const bool wantsLogin = reply.code == 530 || reply.text().contains(QLatin1String("auth"), Qt::CaseInsensitive);
        return fail(result, QStringLiteral("MAIL FROM:<%1> refused: %2").arg(sender, reply.text()),
                    wantsLogin ? QStringLiteral("The server wants a login before it takes mail: turn Login on and "
                                                "enter the user name and password.")
                               : QStringLiteral("The server refused the sender address: use an address of the "
                                                "account's own domain."));
    }
    m_inTransaction = true;
    result.summary = QStringLiteral("MAIL FROM:<%1> accepted").arg(sender);
    return pass(result);
}

QStringList AccountCheck::recipientsToCheck(CheckStageResult &result) const
{
    QStringList addresses;
    const RecipientListTable &lists = m_settings.RecipientLists;
    for (int n = RecipientListTable::FirstList; n <= RecipientListTable::LastList; ++n) {
        if (m_options.list != 0 && m_options.list != n)
            continue;
        for (int k = RecipientList::FirstSlot; k <= RecipientList::LastSlot; ++k) {
            const QString &address = lists[n].Addresses[static_cast<std::size_t>(k)];
            if (address.isEmpty())
                continue;
            // The queue leaves out what fails its address test; so does the check.
            if (!CheckEmailAddress(address, false)) {
                result.details << QStringLiteral("list %1 slot %2: \"%3\" is not used by the service (no '@')")
                                      .arg(n).arg(k).arg(mail::printable(address));
                continue;
            }
            const QString trimmed = trimSpaces(address);
            if (!addresses.contains(trimmed))
                addresses << trimmed;
        }
    }
    return addresses;
}

void AccountCheck::checkRecipients()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Recipients;
    const QStringList addresses = recipientsToCheck(result);
    if (addresses.isEmpty()) {
        const QString none = m_options.list == 0 ? QStringLiteral("no list has addresses")
                                                 : QStringLiteral("list %1 has no addresses").arg(m_options.list);
        fail(result, none, QStringLiteral("Add addresses in Settings > Email Lists."));
        return;
    }
    QJsonArray verdicts;
    QString firstRefusal;
    int accepted = 0;
    for (const QString &address : addresses) {
        QString verdict;
        bool ok = false;
        QString reply;
        if (const QString problem = mail::envelopeProblem(address); !problem.isEmpty()) {
            verdict = QStringLiteral("not sent: %1").arg(problem);
        } else {
            const SmtpReply answer = m_dialogue->command("RCPT TO:<" + address.toUtf8() + '>');
            reply = answer.text();
            ok = answer.ok();
            verdict = ok ? QStringLiteral("accepted") : QStringLiteral("refused: %1").arg(reply);
            if (!answer.received()) {
                result.details << QStringLiteral("%1: %2").arg(mail::printable(address), verdict);
                fail(result, QStringLiteral("the server stopped answering: %1").arg(answer.failure),
                     QStringLiteral("The server stopped answering during the recipients: try again, and ask its "
                                    "administrator if this repeats."));
                return;
            }
        }
        accepted += ok ? 1 : 0;
        if (!ok && firstRefusal.isEmpty())
            firstRefusal = QStringLiteral("%1 (%2)").arg(mail::printable(address), reply.isEmpty() ? verdict : reply);
        result.details << QStringLiteral("%1: %2").arg(mail::printable(address), verdict);
        verdicts.append(QJsonObject{{QStringLiteral("address"), mail::printable(address)},
                                    {QStringLiteral("accepted"), ok},
                                    {QStringLiteral("reply"), reply}});
    }
    result.data.insert(QStringLiteral("recipients"), verdicts);
    const QString counts = QStringLiteral("%1 of %2 accepted").arg(accepted).arg(addresses.size());
    if (!firstRefusal.isEmpty()) {
        fail(result, counts,
             QStringLiteral("The server refused %1: correct the address, or ask whether the server relays to other "
                            "domains for this account.").arg(firstRefusal));
        return;
    }
    result.summary = counts;
    pass(result);
}

void AccountCheck::checkClose()
{
    skipRest(CheckStage::Greeting, CheckStage::Recipients);
    CheckStageResult result;
    result.stage = CheckStage::Close;
    if (!m_dialogue || !m_dialogue->isOpen()) {
        result.summary = m_dialogue ? QStringLiteral("the connection is already closed") : QStringLiteral("not tried");
        m_report.add(std::move(result));
        return;
    }
    begin();
    QStringList answers;
    bool ok = true;
    if (m_inTransaction) {
        const SmtpReply reset = m_dialogue->command("RSET");
        answers << QStringLiteral("RSET: %1").arg(reset.text());
        ok = reset.ok();
    }
    // No QUIT into a connection that has stopped answering: it would only wait again.
    if (ok) {
        const SmtpReply quit = m_dialogue->command("QUIT");
        answers << QStringLiteral("QUIT: %1").arg(quit.text());
        ok = quit.ok();
    }
    m_dialogue->close();
    result.summary = answers.join(QStringLiteral(", "));
    if (!ok) {
        fail(result, result.summary,
             QStringLiteral("The server did not end the session properly; mail may still go through, but watch "
                            "the log after the next message."));
        return;
    }
    pass(result);
}

} // namespace corvane
