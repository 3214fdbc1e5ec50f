// The session's set-up: the greeting and EHLO, then STARTTLS or the TLS of
// the first byte with the server's certificate.

#include "check/CertificateFindings.h"
#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"
#include "mail/ClearTextLogin.h"

#include <QJsonArray>

namespace corvane {

namespace {

void describeEhlo(const SmtpProbe::Step &step, CheckStageResult &result)
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

bool handshakeFailed(const CheckContext &c, StageVerdict &v, const CertificateFindings &found)
{
    const SmtpProbe::Trace &trace = c.trace;
    v.result.data.insert(QStringLiteral("encrypted"), false);
    if (!trace.tlsErrors.isEmpty() && c.endpoint.verifiesCertificate()) {
        // The client broke off the handshake: no password goes to a server
        // that could not be verified.
        found.describe(v.result);
        v.reachedAt(trace.handshake.at);
        return v.fail(QStringLiteral("%1, certificate not verified").arg(found.protocolName()), found.advice());
    }
    const QString failure = trace.socketFailed && !trace.socketErrorText.isEmpty() ? trace.socketErrorText
                                                                                    : v.sessionFailure(trace);
    v.reachedAtEnd(trace);
    const QString advice = c.endpoint.tls == TlsMode::Implicit
        ? QStringLiteral("The port does not speak TLS from the first byte: write smtp://%1:%2 to use STARTTLS.")
              .arg(c.endpoint.host).arg(c.endpoint.port)
        : QStringLiteral("The TLS handshake failed: the server may only offer old TLS versions, which this "
                         "machine refuses.");
    return v.fail(QStringLiteral("TLS handshake failed: %1").arg(failure), advice);
}

// Without STARTTLS the session stays in the clear: the password goes only
// where the client's one rule lets it.
bool withoutStartTls(const CheckContext &c, StageVerdict &v)
{
    if (c.endpoint.tls == TlsMode::Required) {
        return v.fail(QStringLiteral("the server offers no STARTTLS on a port that requires it"),
                      QStringLiteral("Use the server's TLS port (smtps://%1:465), or ask its administrator to offer "
                                     "STARTTLS on port %2.").arg(c.endpoint.host).arg(c.endpoint.port));
    }
    if (c.probe.request.account.login && !mail::clearTextLoginAllowed(c.connectedAddress)) {
        return v.fail(QStringLiteral("no STARTTLS offered, and %1 is neither this machine nor on a private network: "
                                     "the service will not send the password unencrypted")
                          .arg(c.connectedAddress.toString()),
                      QStringLiteral("Use the server's submission port with STARTTLS (smtp://%1:587) or its TLS port "
                                     "(smtps://%1:465).").arg(c.endpoint.host));
    }
    v.result.summary = QStringLiteral("no STARTTLS offered: the service sends unencrypted");
    v.result.data.insert(QStringLiteral("encrypted"), false);
    return v.pass();
}

} // namespace

bool checkGreeting(const CheckContext &c, StageVerdict &v)
{
    const SmtpProbe::Trace &trace = c.trace;
    const SmtpProbe::Step *greeting = trace.find(SmtpStep::Greeting);
    if (!greeting) {
        const QString advice = c.endpoint.tls == TlsMode::Implicit
            ? QStringLiteral("The server said nothing after the TLS handshake: it may be overloaded or not a mail "
                             "server.")
            : QStringLiteral("No SMTP greeting: the port may expect TLS from the first byte (write "
                             "smtps://%1:%2), or the server is overloaded.").arg(c.endpoint.host).arg(c.endpoint.port);
        return v.fail(v.sessionFailure(trace), advice);
    }
    const SmtpReply &reply = greeting->reply;
    v.reachedAt(greeting->at);
    v.result.details << QStringLiteral("greeting: %1").arg(reply.text());
    v.result.data.insert(QStringLiteral("greeting"), reply.text());
    if (reply.code != 220) {
        return v.fail(QStringLiteral("the server turned us away: %1").arg(reply.text()),
                      QStringLiteral("The server does not accept connections from this machine now: ask its "
                                     "administrator."));
    }
    // EHLO, and HELO when the server knows no EHLO; all before any STARTTLS.
    int replies = 0;
    const SmtpProbe::Step *ehlo = trace.lastEhlo(0, trace.plainEnd(), &replies);
    if (!ehlo) {
        return v.fail(QStringLiteral("EHLO: %1").arg(v.sessionFailure(trace)),
                      QStringLiteral("The server stopped answering after its greeting: it may be overloaded, or a "
                                     "filter holds the connection; try again later."));
    }
    v.reachedAt(ehlo->at);
    if (!ehlo->reply.ok()) {
        return v.fail(QStringLiteral("%1 refused: %2")
                          .arg(replies > 1 ? QStringLiteral("EHLO and HELO") : QStringLiteral("EHLO"),
                               ehlo->reply.text()),
                      QStringLiteral("The server refuses our greeting: set a proper host name for this machine."));
    }
    describeEhlo(*ehlo, v.result);
    return v.pass();
}

bool checkTls(const CheckContext &c, StageVerdict &v)
{
    const SmtpProbe::Trace &trace = c.trace;
    const bool implicit = c.endpoint.tls == TlsMode::Implicit;
    if (!implicit) {
        const SmtpProbe::Step *plain = trace.lastEhlo(0, trace.plainEnd());
        if (!plain || !plain->capabilities.startTls)
            return withoutStartTls(c, v);
        const SmtpProbe::Step *starttls = trace.find(SmtpStep::StartTls);
        if (!starttls) {
            return v.fail(QStringLiteral("STARTTLS: %1").arg(v.sessionFailure(trace)),
                          QStringLiteral("The server stopped answering at STARTTLS: try again later, and ask its "
                                         "administrator if this repeats."));
        }
        v.reachedAt(starttls->at);
        if (starttls->reply.code != 220) {
            return v.fail(QStringLiteral("STARTTLS refused: %1").arg(starttls->reply.text()),
                          QStringLiteral("The server announced STARTTLS but refused it: ask its administrator."));
        }
    }
    // For an opportunistic server the client goes on whatever it finds, but
    // keeps the findings: the check still says whether the certificate passes.
    const CertificateFindings found(trace.handshake, trace.tlsErrors);
    if (!trace.handshake.encrypted)
        return handshakeFailed(c, v, found);
    v.reachedAt(trace.handshake.at);
    v.result.data.insert(QStringLiteral("encrypted"), true);
    found.describe(v.result);
    v.result.summary = QStringLiteral("%1, certificate %2")
                           .arg(found.protocolName(),
                                found.verified() ? QStringLiteral("verified")
                                                 : QStringLiteral("not verified (not required for this server "
                                                                  "setting)"));
    if (implicit)
        return v.pass();
    // Everything said before STARTTLS is forgotten; AUTH often appears only now.
    const SmtpProbe::Step *again = trace.lastEhlo(trace.afterStartTls(), trace.steps.size());
    if (!again) {
        return v.fail(QStringLiteral("EHLO after STARTTLS: %1").arg(v.sessionFailure(trace)),
                      QStringLiteral("The server stopped answering after STARTTLS: try again later, and ask its "
                                     "administrator if this repeats."));
    }
    v.reachedAt(again->at);
    if (!again->reply.ok()) {
        return v.fail(QStringLiteral("EHLO after STARTTLS refused: %1").arg(again->reply.text()),
                      QStringLiteral("The server refuses our greeting after STARTTLS: ask its administrator."));
    }
    CheckStageResult capabilities;
    describeEhlo(*again, capabilities);
    v.result.details << QStringLiteral("after STARTTLS: %1").arg(capabilities.summary);
    v.result.data.insert(QStringLiteral("capabilities"), capabilities.data.value(QStringLiteral("capabilities")));
    return v.pass();
}

} // namespace corvane
