// The stages that reach out before the session: the POP3 login, the name
// lookup and the connection, each through the service's own code.

#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"
#include "mail/HostLookup.h"
#include "mail/MailAddresses.h"
#include "mail/Pop3Client.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <utility>

namespace corvane {

bool checkCaFile(CheckContext &c, StageVerdict &v)
{
    if (std::exchange(c.caFileJudged, true))
        return true;
    const QString path = c.settings.AccountSettings.CaFile.trimmed();
    // The component's cache: the probe's account was built from the same reading.
    if (path.isEmpty() || !c.caFiles.load(path).isEmpty())
        return true;
    if (!c.options.caFile.isEmpty()) {
        return v.fail(QStringLiteral("no certificate in %1").arg(c.options.caFile),
                      QStringLiteral("Give --ca-file a PEM file with the authority's certificate."));
    }
    // The service goes on with the system's store; so does the check.
    v.result.details << QStringLiteral("CA_File %1 holds no certificate that can be read: the service uses the "
                                       "system's authorities only").arg(mail::printable(path));
    return true;
}

bool checkPop3(CheckContext &c, StageVerdict &v)
{
    const AccountSettingsRecord &a = c.settings.AccountSettings;
    if (!a.UsePopLogin)
        return v.skip(QStringLiteral("POP login is off"));
    const MailRequest &request = c.probe.request;
    v.result.data.insert(QStringLiteral("server"), mail::settingForDisplay(a.Pop3Server));
    // The component's rule: without a POP3 server it sends without the login.
    if (!request.popLogin)
        return v.skip(QStringLiteral("no POP3 server is set: the service sends without the POP3 login"));
    // The service logs in to the POP3 server before every SMTP session, with
    // what the component hands its POP3 client.
    Pop3Client login(c.options.timeouts);
    Pop3Result outcome;
    QEventLoop loop;
    QObject::connect(&login, &Pop3Client::status, &loop, [&v](const QString &line) { v.result.details << line; });
    QObject::connect(&login, &Pop3Client::finished, &loop, [&](const Pop3Result &done) {
        outcome = done;
        loop.quit();
    });
    login.start(request.pop3Host, request.account.userName, request.account.password,
                request.account.caCertificates);
    loop.exec();
    v.result.data.insert(QStringLiteral("loggedIn"), outcome.loggedIn);
    if (!outcome.loggedIn) {
        return v.fail(outcome.reason,
                      QStringLiteral("Check POP3_Server, the user name and the password in %1, or turn POP login "
                                     "off if the mail server does not need it.").arg(kAccountDialog));
    }
    v.result.summary = QStringLiteral("logged in as %1").arg(mail::printable(a.UserName));
    return v.pass();
}

bool checkResolve(CheckContext &c, StageVerdict &v)
{
    const QString &host = c.endpoint.host;
    QEventLoop loop;
    bool answered = false;
    QString error;
    // The lookup the SMTP client does, waited for as long as its connect limit.
    HostLookup lookup;
    lookup.start(&loop, host, [&](const QList<QHostAddress> &addresses, const QString &failure) {
        answered = true;
        c.addresses = addresses;
        error = failure;
        loop.quit();
    });
    QTimer::singleShot(c.options.timeouts.connect, &loop, &QEventLoop::quit);
    loop.exec();
    lookup.abandon();
    if (!answered) {
        return v.fail(QStringLiteral("no answer for %1 in time").arg(host),
                      QStringLiteral("This machine's name service does not answer: check /etc/resolv.conf and "
                                     "the network."));
    }
    if (c.addresses.isEmpty()) {
        return v.fail(QStringLiteral("%1 cannot be found (%2)")
                          .arg(host, error.isEmpty() ? QStringLiteral("no address") : error),
                      QStringLiteral("Check the spelling of the server name and that this machine can resolve "
                                     "names (getent hosts %1).").arg(host));
    }
    QStringList texts;
    for (const QHostAddress &address : std::as_const(c.addresses))
        texts << address.toString();
    v.result.summary = texts.join(QStringLiteral(", "));
    v.result.data.insert(QStringLiteral("addresses"), QJsonArray::fromStringList(texts));
    return v.pass();
}

bool checkConnect(CheckContext &c, StageVerdict &v)
{
    if (!checkCaFile(c, v))
        return false;
    const MailRequest &request = c.probe.request;
    if (!request.failure.isEmpty()) {
        return v.fail(request.failure,
                      QStringLiteral("The service would send nothing with these settings: correct them as said."));
    }
    SmtpAccount account = request.account;
    SmtpProbe prober(c.options.timeouts);
    QString lastFailure;
    bool refused = false;
    // The addresses in turn while none answers; the session that reaches the
    // server is the one the later stages judge.
    for (const QHostAddress &address : std::as_const(c.addresses)) {
        account.address = address;
        SmtpProbe::Trace trace = prober.run(account, request.message);
        if (trace.connected) {
            c.trace = std::move(trace);
            c.sessionRan = true;
            c.connectedAddress = address;
            v.result.summary =
                QStringLiteral("connected to %1 port %2").arg(address.toString()).arg(c.endpoint.port);
            v.result.data.insert(QStringLiteral("address"), address.toString());
            v.reachedAt(c.trace.connectedAt);
            return v.pass();
        }
        const QString failure = trace.socketFailed && !trace.socketErrorText.isEmpty()
            ? trace.socketErrorText
            : lowerFirst(trace.outcome.explanation);
        refused = refused || (trace.socketFailed && trace.socketError == QAbstractSocket::ConnectionRefusedError);
        v.result.details << QStringLiteral("%1: %2").arg(address.toString(), failure);
        lastFailure = failure;
    }
    const QString advice = refused
        ? QStringLiteral("Nothing listens on port %1 there: check the port number and that the server runs.")
              .arg(c.endpoint.port)
        : QStringLiteral("The connection attempt got no answer: a firewall probably drops traffic to port %1.")
              .arg(c.endpoint.port);
    return v.fail(QStringLiteral("no connection to %1: %2").arg(c.endpoint.display, lastFailure), advice);
}

} // namespace corvane
