#include "check/AccountCheck.h"

#include "check/CertificateFindings.h"
#include "check/TokenFetch.h"
#include "intake/NotificationQueue.h"
#include "mail/CredentialMask.h"
#include "mail/MailAddresses.h"
#include "mail/MailNetwork.h"
#include "mail/OAuthErrors.h"
#include "mail/Pop3Client.h"
#include "oauth/OAuthSettings.h"
#include "storage/SettingsStore.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonArray>
#include <QTimer>
#include <QUrl>

#include <algorithm>

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

// The client's explanations are sentences of their own; a summary goes on
// from a colon.
QString lowerFirst(const QString &text)
{
    if (text.size() > 1 && text.at(0).isUpper() && !text.at(1).isUpper())
        return text.at(0).toLower() + text.mid(1);
    return text;
}

// The last EHLO (or HELO) reply among steps [from, to).
const SmtpProbe::Step *lastEhlo(const SmtpProbe::Trace &trace, std::size_t from, std::size_t to, int *count = nullptr)
{
    const SmtpProbe::Step *last = nullptr;
    for (std::size_t i = from; i < std::min(to, trace.steps.size()); ++i) {
        if (trace.steps[i].step == SmtpStep::Ehlo) {
            last = &trace.steps[i];
            if (count)
                ++*count;
        }
    }
    return last;
}

// Where the steps on the plain connection end: at STARTTLS, if there was one.
std::size_t plainEnd(const SmtpProbe::Trace &trace)
{
    const std::size_t after = trace.afterStartTls();
    return after ? after : trace.steps.size();
}

void insertEnhanced(QJsonObject &data, const SmtpReply &reply)
{
    if (!reply.enhanced.isEmpty())
        data.insert(QStringLiteral("enhancedCode"), reply.enhanced);
}

// What the token says about itself, for information only: the SMTP server
// decides. Microsoft puts the application permissions in "roles".
void describeToken(const OAuthToken &token, const OAuthProviderInfo &provider, CheckStageResult &result)
{
    const QString endpoint = QUrl(token.endpoint).toDisplayString(QUrl::RemoveUserInfo);
    const QString life = token.expiresIn > 0 ? QStringLiteral("expires_in %1 s").arg(token.expiresIn)
                                             : QStringLiteral("no expires_in (good for one sign-in)");
    result.summary = QStringLiteral("token from %1: HTTP %2, %3").arg(endpoint).arg(token.httpStatus).arg(life);
    result.data.insert(QStringLiteral("endpoint"), endpoint);
    result.data.insert(QStringLiteral("httpStatus"), token.httpStatus);
    result.data.insert(QStringLiteral("expiresIn"), token.expiresIn);
    const QString expected = QString::fromLatin1(provider.expectedRole);
    if (expected.isEmpty())
        return;
    if (token.claimsForInfo.isEmpty()) {
        result.details << QStringLiteral("roles: cannot be read (the token is not a JWT)");
        return;
    }
    QStringList roles;
    for (const QJsonValue &role : token.claimsForInfo.value(QLatin1String("roles")).toArray())
        roles << mail::printable(role.toString());
    result.data.insert(QStringLiteral("roles"), QJsonArray::fromStringList(roles));
    result.details << (roles.contains(expected)
                           ? QStringLiteral("roles: %1").arg(roles.join(QStringLiteral(", ")))
                           : QStringLiteral("roles: %1 (%2 is expected: add that application permission and grant "
                                            "admin consent)")
                                 .arg(roles.isEmpty() ? QStringLiteral("none") : roles.join(QStringLiteral(", ")),
                                      expected));
}

} // namespace

AccountCheck::AccountCheck(AccountCheckOptions options) : m_options(std::move(options)) {}

AccountCheck::~AccountCheck() = default;

CheckReport AccountCheck::run()
{
    const bool ready =
        checkSettings() && checkServer() && checkToken() && checkPop3() && checkResolve() && checkConnect();
    if (!ready) {
        skipRest(CheckStage::Server, CheckStage::Close);
        return m_report;
    }
    // With implicit TLS the handshake comes before the greeting.
    const bool implicit = m_endpoint.tls == TlsMode::Implicit;
    const bool session = implicit ? checkTls() && checkGreeting() : checkGreeting() && checkTls();
    if (session && checkLogin() && checkSender())
        checkRecipients();
    // The session is over by now: this says how it ended.
    checkClose();
    return m_report;
}

void AccountCheck::begin()
{
    m_stageStart = Clock::now();
    m_stageEnd.reset();
}

// The session's stages end when their last reply came: each counts from the
// end of the one before, and one that needed no reply takes no time.
void AccountCheck::finish(CheckStageResult result)
{
    const Clock::time_point end =
        std::max(m_stageEnd.value_or(m_sessionRan ? m_stageStart : Clock::now()), m_stageStart);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(end - m_stageStart);
    m_stageStart = end;
    m_stageEnd.reset();
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

OAuthConfig AccountCheck::oauthConfig(OAuthProvider provider) const
{
    OAuthConfig config = oauthConfigFrom(m_settings, provider);
    config.caCertificates = m_authorities;
    return config;
}

// The token the service would sign in with, fetched as it fetches it. Its
// failures stop the check here: without a token there is nothing to log in with.
bool AccountCheck::checkToken()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Token;
    const QString name = m_settings.OAuth.Provider;
    const std::optional<OAuthProvider> provider = oauthProviderFromName(name);
    if (!provider) {
        return fail(result, QStringLiteral("Provider \"%1\" in [Email_OAuth] is not known").arg(mail::printable(name)),
                    QStringLiteral("Set Provider to %1, or leave it empty to sign in with the password.")
                        .arg(oauthProviderNames()));
    }
    if (*provider == OAuthProvider::None) {
        result.summary = QStringLiteral("no OAuth provider ([Email_OAuth] Provider is empty)");
        finish(std::move(result));
        return true;
    }
    result.data.insert(QStringLiteral("provider"), oauthProviderName(*provider));
    // The service takes the OAuth settings only together with Login; alone
    // they would be ignored and the mail sent without any sign-in.
    if (!m_settings.AccountSettings.UseLogin) {
        return fail(result,
                    QStringLiteral("Provider is %1 but Login is off: OAuth needs Login on")
                        .arg(oauthProviderName(*provider)),
                    QStringLiteral("Turn Login on in %1, or empty Provider in [Email_OAuth] if the server takes mail "
                                   "without a sign-in.").arg(QLatin1String(kAccountDialog)));
    }
    if (!authorities(result))
        return false;
    const TokenFetch fetched = fetchOAuthToken(oauthConfig(*provider), m_options.timeouts.serverReply);
    if (!fetched.token) {
        // The source's text names the cause and what to do about it.
        return fail(result, fetched.problem,
                    QStringLiteral("Correct [Email_OAuth] in Corvane.ini as said above: the service gets its token "
                                   "the same way and cannot sign in until this passes."));
    }
    m_bearerToken = fetched.token->accessToken;
    describeToken(*fetched.token, *oauthProviderInfo(*provider), result);
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

// --ca-file stands in for CA_File, as for the POP3 login.
bool AccountCheck::authorities(CheckStageResult &result)
{
    if (m_authoritiesRead)
        return true;
    m_authoritiesRead = true;
    const bool given = !m_options.caFile.isEmpty();
    const QString path = given ? m_options.caFile : m_settings.AccountSettings.CaFile.trimmed();
    if (path.isEmpty())
        return true;
    m_authorities = QSslCertificate::fromPath(path, QSsl::Pem);
    if (!m_authorities.isEmpty())
        return true;
    if (given) {
        return fail(result, QStringLiteral("no certificate in %1").arg(m_options.caFile),
                    QStringLiteral("Give --ca-file a PEM file with the authority's certificate."));
    }
    // The service goes on with the system's store; so does the check.
    result.details << QStringLiteral("CA_File %1 holds no certificate that can be read: the service uses the "
                                     "system's authorities only").arg(mail::printable(path));
    return true;
}

SmtpAccount AccountCheck::smtpAccount() const
{
    const AccountSettingsRecord &a = m_settings.AccountSettings;
    SmtpAccount account;
    account.endpoint = m_endpoint;
    account.heloName = mail::localHostName(m_options.heloName);
    account.login = a.UseLogin;
    account.userName = a.UserName;
    // With a token the password stays here: OAuth never falls back to it.
    account.password = m_bearerToken.isEmpty() ? a.UserPassword : QString();
    account.bearerToken = m_bearerToken;
    account.caCertificates = m_authorities;
    return account;
}

SmtpMessage AccountCheck::probeMessage() const
{
    SmtpMessage message;
    message.id = 1;
    message.probeOnly = true;
    // A sender the Sender stage refuses goes out as the null sender: nothing
    // of it reaches the wire.
    const QString sender = m_settings.AccountSettings.SenderEmail;
    if (!sender.isEmpty() && mail::envelopeProblem(sender).isEmpty())
        message.sender = sender;
    for (const QString &address : m_recipients) {
        if (mail::envelopeProblem(address).isEmpty())
            message.recipients << address;
    }
    // The client ends a probe once its last RCPT is answered. Without an
    // address to check, postmaster, which every server must take, stands in.
    if (message.recipients.isEmpty())
        message.recipients << QStringLiteral("postmaster");
    return message;
}

bool AccountCheck::checkConnect()
{
    begin();
    CheckStageResult result;
    result.stage = CheckStage::Connect;
    if (!authorities(result))
        return false;
    m_recipients = recipientsToCheck(&m_recipientNotes);
    SmtpAccount account = smtpAccount();
    const SmtpMessage probe = probeMessage();
    SmtpProbe prober(m_options.timeouts);

    QString lastFailure;
    bool refused = false;
    // The addresses in turn while none answers; the session that reaches the
    // server is the one the later stages judge.
    for (const QHostAddress &address : m_addresses) {
        account.address = address;
        SmtpProbe::Trace trace = prober.run(account, probe);
        if (trace.connected) {
            m_trace = std::move(trace);
            m_sessionRan = true;
            m_connectedAddress = address;
            result.summary = QStringLiteral("connected to %1 port %2").arg(address.toString()).arg(m_endpoint.port);
            result.data.insert(QStringLiteral("address"), address.toString());
            reachedAt(m_trace.connectedAt);
            return pass(result);
        }
        const QString failure = trace.socketFailed && !trace.socketErrorText.isEmpty()
            ? trace.socketErrorText
            : lowerFirst(trace.outcome.explanation);
        refused = refused || (trace.socketFailed && trace.socketError == QAbstractSocket::ConnectionRefusedError);
        result.details << QStringLiteral("%1: %2").arg(address.toString(), failure);
        lastFailure = failure;
    }
    const QString advice = refused
        ? QStringLiteral("Nothing listens on port %1 there: check the port number and that the server runs.")
              .arg(m_endpoint.port)
        : QStringLiteral("The connection attempt got no answer: a firewall probably drops traffic to port %1.")
              .arg(m_endpoint.port);
    return fail(result, QStringLiteral("no connection to %1: %2").arg(m_endpoint.display, lastFailure), advice);
}

// Why the session ended where it did, to go on from a colon; the stage that
// says so ends there too.
QString AccountCheck::sessionFailure()
{
    reachedAtEnd();
    const QString why = lowerFirst(m_trace.outcome.explanation);
    return why.isEmpty() ? QStringLiteral("the session ended here") : why;
}

bool AccountCheck::checkGreeting()
{
    CheckStageResult result;
    result.stage = CheckStage::Greeting;
    const SmtpProbe::Step *greeting = m_trace.find(SmtpStep::Greeting);
    if (!greeting) {
        const QString advice = m_endpoint.tls == TlsMode::Implicit
            ? QStringLiteral("The server said nothing after the TLS handshake: it may be overloaded or not a mail "
                             "server.")
            : QStringLiteral("No SMTP greeting: the port may expect TLS from the first byte (write "
                             "smtps://%1:%2), or the server is overloaded.").arg(m_endpoint.host).arg(m_endpoint.port);
        return fail(result, sessionFailure(), advice);
    }
    const SmtpReply &reply = greeting->reply;
    reachedAt(greeting->at);
    result.details << QStringLiteral("greeting: %1").arg(reply.text());
    result.data.insert(QStringLiteral("greeting"), reply.text());
    if (reply.code != 220) {
        return fail(result, QStringLiteral("the server turned us away: %1").arg(reply.text()),
                    QStringLiteral("The server does not accept connections from this machine now: ask its "
                                   "administrator."));
    }
    // EHLO, and HELO when the server knows no EHLO; all before any STARTTLS.
    int replies = 0;
    const SmtpProbe::Step *ehloStep = lastEhlo(m_trace, 0, plainEnd(m_trace), &replies);
    if (!ehloStep) {
        return fail(result, QStringLiteral("EHLO: %1").arg(sessionFailure()),
                    QStringLiteral("The server stopped answering after its greeting: it may be overloaded, or a "
                                   "filter holds the connection; try again later."));
    }
    reachedAt(ehloStep->at);
    if (!ehloStep->reply.ok()) {
        return fail(result,
                    QStringLiteral("%1 refused: %2")
                        .arg(replies > 1 ? QStringLiteral("EHLO and HELO") : QStringLiteral("EHLO"),
                             ehloStep->reply.text()),
                    QStringLiteral("The server refuses our greeting: set a proper host name for this machine."));
    }
    ehlo(*ehloStep, result);
    return pass(result);
}

void AccountCheck::ehlo(const SmtpProbe::Step &step, CheckStageResult &result) const
{
    const SmtpCapabilities &c = step.capabilities;
    if (!c.esmtp) {
        result.summary = QStringLiteral("HELO accepted (the server knows no EHLO: no capabilities)");
        return;
    }
    const QString size = c.sizeLimit < 0 ? QStringLiteral("not announced")
        : c.sizeLimit == 0                ? QStringLiteral("no limit")
                                          : QStringLiteral("%1 bytes").arg(c.sizeLimit);
    const QString auth = c.auth.isEmpty() ? QStringLiteral("none") : c.auth.join(QLatin1Char(' '));
    result.summary = QStringLiteral("EHLO accepted; size limit %1, AUTH %2, STARTTLS %3, PIPELINING %4")
                         .arg(size, auth, c.startTls ? QStringLiteral("yes") : QStringLiteral("no"),
                              c.pipelining ? QStringLiteral("yes") : QStringLiteral("no"));
    QJsonObject caps{
        {QStringLiteral("size"), c.sizeLimit},
        {QStringLiteral("auth"), QJsonArray::fromStringList(c.auth)},
        {QStringLiteral("starttls"), c.startTls},
        {QStringLiteral("pipelining"), c.pipelining},
        {QStringLiteral("enhancedStatusCodes"), c.enhancedCodes},
        {QStringLiteral("lines"), QJsonArray::fromStringList(c.lines)},
    };
    result.data.insert(QStringLiteral("capabilities"), caps);
}

const SmtpCapabilities &AccountCheck::lastCapabilities() const
{
    static const SmtpCapabilities none;
    for (auto it = m_trace.steps.rbegin(); it != m_trace.steps.rend(); ++it) {
        if (it->step == SmtpStep::Ehlo && it->reply.ok())
            return it->capabilities;
    }
    return none;
}

CertificateFindings AccountCheck::certificate() const
{
    // For an opportunistic server the client goes on whatever it finds, but
    // keeps the findings: the check still says whether the certificate passes.
    return CertificateFindings(m_trace.handshake, m_trace.tlsErrors);
}

bool AccountCheck::checkTls()
{
    CheckStageResult result;
    result.stage = CheckStage::Tls;
    const bool implicit = m_endpoint.tls == TlsMode::Implicit;
    if (!implicit) {
        const SmtpProbe::Step *plain = lastEhlo(m_trace, 0, plainEnd(m_trace));
        if (!plain || !plain->capabilities.startTls) {
            if (m_endpoint.tls == TlsMode::Required) {
                return fail(result, QStringLiteral("the server offers no STARTTLS on a port that requires it"),
                            QStringLiteral("Use the server's TLS port (smtps://%1:465), or ask its administrator "
                                           "to offer STARTTLS on port %2.").arg(m_endpoint.host).arg(m_endpoint.port));
            }
            // The client's rule: a password goes unencrypted only to a server
            // on this machine or on a private network.
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
        const SmtpProbe::Step *starttls = m_trace.find(SmtpStep::StartTls);
        if (!starttls) {
            return fail(result, QStringLiteral("STARTTLS: %1").arg(sessionFailure()),
                        QStringLiteral("The server stopped answering at STARTTLS: try again later, and ask its "
                                       "administrator if this repeats."));
        }
        reachedAt(starttls->at);
        if (starttls->reply.code != 220) {
            return fail(result, QStringLiteral("STARTTLS refused: %1").arg(starttls->reply.text()),
                        QStringLiteral("The server announced STARTTLS but refused it: ask its administrator."));
        }
    }
    const CertificateFindings found = certificate();
    if (!m_trace.handshake.encrypted)
        return handshakeFailed(result, found);
    reachedAt(m_trace.handshake.at);
    result.data.insert(QStringLiteral("encrypted"), true);
    found.describe(result);
    result.summary = QStringLiteral("%1, certificate %2")
                         .arg(found.protocolName(),
                              found.verified() ? QStringLiteral("verified")
                                               : QStringLiteral("not verified (not required for this server "
                                                                "setting)"));
    if (implicit)
        return pass(result);
    // Everything said before STARTTLS is forgotten; AUTH often appears only now.
    const SmtpProbe::Step *again = lastEhlo(m_trace, m_trace.afterStartTls(), m_trace.steps.size());
    if (!again) {
        return fail(result, QStringLiteral("EHLO after STARTTLS: %1").arg(sessionFailure()),
                    QStringLiteral("The server stopped answering after STARTTLS: try again later, and ask its "
                                   "administrator if this repeats."));
    }
    reachedAt(again->at);
    if (!again->reply.ok()) {
        return fail(result, QStringLiteral("EHLO after STARTTLS refused: %1").arg(again->reply.text()),
                    QStringLiteral("The server refuses our greeting after STARTTLS: ask its administrator."));
    }
    CheckStageResult capabilities;
    ehlo(*again, capabilities);
    result.details << QStringLiteral("after STARTTLS: %1").arg(capabilities.summary);
    result.data.insert(QStringLiteral("capabilities"), capabilities.data.value(QStringLiteral("capabilities")));
    return pass(result);
}

bool AccountCheck::handshakeFailed(CheckStageResult &result, const CertificateFindings &found)
{
    result.data.insert(QStringLiteral("encrypted"), false);
    if (!m_trace.tlsErrors.isEmpty() && m_endpoint.verifiesCertificate()) {
        // The client broke off the handshake: no password goes to a server
        // that could not be verified.
        found.describe(result);
        reachedAt(m_trace.handshake.at);
        return fail(result, QStringLiteral("%1, certificate not verified").arg(found.protocolName()), found.advice());
    }
    const QString failure = m_trace.socketFailed && !m_trace.socketErrorText.isEmpty() ? m_trace.socketErrorText
                                                                                          : sessionFailure();
    reachedAtEnd();
    const QString advice = m_endpoint.tls == TlsMode::Implicit
        ? QStringLiteral("The port does not speak TLS from the first byte: write smtp://%1:%2 to use STARTTLS.")
              .arg(m_endpoint.host).arg(m_endpoint.port)
        : QStringLiteral("The TLS handshake failed: the server may only offer old TLS versions, which this "
                         "machine refuses.");
    return fail(result, QStringLiteral("TLS handshake failed: %1").arg(failure), advice);
}

bool AccountCheck::checkLogin()
{
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
    const QStringList &offered = lastCapabilities().auth;
    if (offered.isEmpty()) {
        return fail(result, QStringLiteral("the server offers no login (AUTH) here"),
                    m_trace.handshake.encrypted
                        ? QStringLiteral("Turn Login off, or use the server's port for sending with a login (587 or "
                                         "465).")
                        : QStringLiteral("Many servers offer a login only over TLS: use smtp://%1:587 or "
                                         "smtps://%1:465, or turn Login off.").arg(m_endpoint.host));
    }
    const bool oauth = !m_bearerToken.isEmpty();
    result.data.insert(QStringLiteral("oauth"), oauth);
    const SmtpProbe::Step *auth = m_trace.find(SmtpStep::Auth);
    if (!auth && m_trace.mechanism.isEmpty() && m_trace.outcome.phase == MailPhase::Auth) {
        reachedAtEnd();
        if (oauth) {
            return fail(result, QStringLiteral("the server offers no OAuth sign-in (XOAUTH2 or OAUTHBEARER), only %1; "
                                               "the password is not tried").arg(offered.join(QLatin1Char(' '))),
                        QStringLiteral("Use the provider's submission server (smtp.office365.com:587 for Microsoft "
                                       "365, smtp.gmail.com:587 for Google), or empty Provider in [Email_OAuth] to "
                                       "sign in with the password."));
        }
        return fail(result, QStringLiteral("the server offers only %1, none of which the service can use")
                                .arg(offered.join(QLatin1Char(' '))),
                    QStringLiteral("Ask the server's administrator for AUTH PLAIN, LOGIN or CRAM-MD5 on this port, or "
                                   "turn Login off if the server takes mail without it."));
    }
    result.data.insert(QStringLiteral("mechanism"), m_trace.mechanism);
    if (!auth) {
        return fail(result, QStringLiteral("login as %1 (AUTH %2): %3").arg(user, m_trace.mechanism, sessionFailure()),
                    QStringLiteral("The server stopped answering during the login: try again later, and ask its "
                                   "administrator if this repeats."));
    }
    reachedAt(auth->at);
    // Neither the password or token nor anything made from it is shown, even
    // if the server repeats it.
    const QString secret = oauth ? QString::fromLatin1(m_bearerToken) : a.UserPassword;
    const QString answer = mail::cleanServerText(auth->reply.text(), CredentialMask(a.UserName, secret));
    result.data.insert(QStringLiteral("reply"), answer);
    insertEnhanced(result.data, auth->reply);
    if (!auth->reply.ok() && oauth) {
        const QString known = describeOAuthSmtpRefusal(auth->reply);
        return fail(result, QStringLiteral("the token for %1 was refused: %2").arg(user, answer),
                    !known.isEmpty() ? known
                                     : QStringLiteral("The server refused the token: check that User_Name is the "
                                                      "mailbox the application may send as."));
    }
    if (!auth->reply.ok()) {
        return fail(result, QStringLiteral("login as %1 refused: %2").arg(user, answer),
                    auth->reply.code == 535
                        ? QStringLiteral("The server refused the user name or password: retype both in %1.")
                              .arg(QLatin1String(kAccountDialog))
                        : QStringLiteral("The server did not accept the login: read its answer above, or ask its "
                                         "administrator."));
    }
    result.summary = QStringLiteral("logged in as %1 (AUTH %2%3)")
                         .arg(user, m_trace.mechanism, oauth ? QStringLiteral(" with the OAuth token") : QString());
    return pass(result);
}

bool AccountCheck::checkSender()
{
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
    const SmtpProbe::Step *mail = m_trace.find(SmtpStep::Mail);
    if (!mail) {
        return fail(result, QStringLiteral("MAIL FROM:<%1>: %2").arg(sender, sessionFailure()),
                    QStringLiteral("The server stopped answering: it may be overloaded or a filter holds the "
                                   "connection; try again later."));
    }
    reachedAt(mail->at);
    const SmtpReply &reply = mail->reply;
    result.data.insert(QStringLiteral("reply"), reply.text());
    insertEnhanced(result.data, reply);
    if (!reply.ok()) {
        const bool wantsLogin = reply.code == 530 || reply.text().contains(QLatin1String("auth"), Qt::CaseInsensitive);
        return fail(result, QStringLiteral("MAIL FROM:<%1> refused: %2").arg(sender, reply.text()),
                    wantsLogin ? QStringLiteral("The server wants a login before it takes mail: turn Login on and "
                                                "enter the user name and password.")
                               : QStringLiteral("The server refused the sender address: use an address of the "
                                                "account's own domain."));
    }
    result.summary = QStringLiteral("MAIL FROM:<%1> accepted").arg(sender);
    return pass(result);
}

QStringList AccountCheck::recipientsToCheck(QStringList *notes) const
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
                *notes << QStringLiteral("list %1 slot %2: \"%3\" is not used by the service (no '@')")
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
    CheckStageResult result;
    result.stage = CheckStage::Recipients;
    result.details = m_recipientNotes;
    if (m_recipients.isEmpty()) {
        const QString none = m_options.list == 0 ? QStringLiteral("no list has addresses")
                                                 : QStringLiteral("list %1 has no addresses").arg(m_options.list);
        fail(result, none, QStringLiteral("Add addresses in Settings > Email Lists."));
        return;
    }
    // The client wrote one RCPT per usable address, in this order.
    const std::vector<const SmtpProbe::Step *> answers = m_trace.all(SmtpStep::Rcpt);
    std::size_t next = 0;
    QJsonArray verdicts;
    QString firstRefusal;
    int accepted = 0;
    for (const QString &address : m_recipients) {
        QString verdict;
        bool ok = false;
        QString reply;
        QJsonObject entry{{QStringLiteral("address"), mail::printable(address)}};
        if (const QString problem = mail::envelopeProblem(address); !problem.isEmpty()) {
            verdict = QStringLiteral("not sent: %1").arg(problem);
        } else if (next < answers.size()) {
            const SmtpProbe::Step *answer = answers[next++];
            reachedAt(answer->at);
            reply = answer->reply.text();
            ok = answer->reply.ok();
            insertEnhanced(entry, answer->reply);
            verdict = ok ? QStringLiteral("accepted") : QStringLiteral("refused: %1").arg(reply);
        } else {
            result.details << QStringLiteral("%1: no answer").arg(mail::printable(address));
            fail(result, QStringLiteral("the server stopped answering: %1").arg(sessionFailure()),
                 QStringLiteral("The server stopped answering during the recipients: try again, and ask its "
                                "administrator if this repeats."));
            return;
        }
        accepted += ok ? 1 : 0;
        if (!ok && firstRefusal.isEmpty())
            firstRefusal = QStringLiteral("%1 (%2)").arg(mail::printable(address), reply.isEmpty() ? verdict : reply);
        result.details << QStringLiteral("%1: %2").arg(mail::printable(address), verdict);
        entry.insert(QStringLiteral("accepted"), ok);
        entry.insert(QStringLiteral("reply"), reply);
        verdicts.append(entry);
    }
    result.data.insert(QStringLiteral("recipients"), verdicts);
    const QString counts = QStringLiteral("%1 of %2 accepted").arg(accepted).arg(m_recipients.size());
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
    const SmtpProbe::Step *reset = m_sessionRan ? m_trace.find(SmtpStep::Reset) : nullptr;
    const SmtpProbe::Step *quit = m_sessionRan ? m_trace.find(SmtpStep::Quit) : nullptr;
    if (!reset && !quit) {
        // After a failure the client drops the connection at once, as it does
        // when the service sends.
        result.summary = !m_sessionRan ? QStringLiteral("not tried")
            : m_trace.socketError == QAbstractSocket::RemoteHostClosedError
            ? QStringLiteral("the connection is already closed")
            : QStringLiteral("the connection was dropped after the failure, without QUIT");
        m_report.add(std::move(result));
        return;
    }
    QStringList answers;
    bool ok = true;
    if (reset) {
        reachedAt(reset->at);
        answers << QStringLiteral("RSET: %1").arg(reset->reply.text());
        ok = reset->reply.ok();
    }
    if (quit) {
        reachedAt(quit->at);
        answers << QStringLiteral("QUIT: %1").arg(quit->reply.text());
        ok = ok && quit->reply.ok();
    } else {
        reachedAt(m_trace.closedAt);
        answers << QStringLiteral("QUIT: no answer before the connection closed");
        ok = false;
    }
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
