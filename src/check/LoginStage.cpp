// The login (AUTH), with the password or the OAuth token from the Token stage.

#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"
#include "mail/CredentialMask.h"
#include "mail/MailAddresses.h"
#include "mail/OAuthErrors.h"

namespace corvane {

namespace {

// The session stopped before AUTH: the client found no mechanism it may use.
bool noMechanism(const QStringList &offered, bool oauth, StageVerdict &v)
{
    if (oauth) {
        return v.fail(QStringLiteral("the server offers no OAuth sign-in (XOAUTH2 or OAUTHBEARER), only %1; the "
                                     "password is not tried").arg(offered.join(QLatin1Char(' '))),
                      QStringLiteral("Use the provider's submission server (smtp.office365.com:587 for Microsoft 365, "
                                     "smtp.gmail.com:587 for Google), or empty Provider in [Email_OAuth] to sign in "
                                     "with the password."));
    }
    return v.fail(QStringLiteral("the server offers only %1, none of which the service can use")
                      .arg(offered.join(QLatin1Char(' '))),
                  QStringLiteral("Ask the server's administrator for AUTH PLAIN, LOGIN or CRAM-MD5 on this port, or "
                                 "turn Login off if the server takes mail without it."));
}

} // namespace

bool checkLogin(const CheckContext &c, StageVerdict &v)
{
    const SmtpProbe::Trace &trace = c.trace;
    const SmtpAccount &account = c.probe.request.account;
    if (!account.login)
        return v.skip(QStringLiteral("Login is off"));
    const QString user = mail::printable(account.userName);
    v.result.data.insert(QStringLiteral("user"), user);
    if (account.userName.isEmpty()) {
        return v.fail(QStringLiteral("Login is on but no user name is set"),
                      QStringLiteral("Enter the user name in %1, or turn Login off.").arg(kAccountDialog));
    }
    const QStringList &offered = trace.capabilities().auth;
    if (offered.isEmpty()) {
        return v.fail(QStringLiteral("the server offers no login (AUTH) here"),
                      trace.handshake.encrypted
                          ? QStringLiteral("Turn Login off, or use the server's port for sending with a login (587 "
                                           "or 465).")
                          : QStringLiteral("Many servers offer a login only over TLS: use smtp://%1:587 or "
                                           "smtps://%1:465, or turn Login off.").arg(c.endpoint.host));
    }
    const bool oauth = !account.bearerToken.isEmpty();
    v.result.data.insert(QStringLiteral("oauth"), oauth);
    const SmtpProbe::Step *auth = trace.find(SmtpStep::Auth);
    if (!auth && trace.mechanism.isEmpty() && trace.outcome.phase == MailPhase::Auth) {
        v.reachedAtEnd(trace);
        return noMechanism(offered, oauth, v);
    }
    v.result.data.insert(QStringLiteral("mechanism"), trace.mechanism);
    if (!auth) {
        return v.fail(QStringLiteral("login as %1 (AUTH %2): %3").arg(user, trace.mechanism, v.sessionFailure(trace)),
                      QStringLiteral("The server stopped answering during the login: try again later, and ask its "
                                     "administrator if this repeats."));
    }
    v.reachedAt(auth->at);
    // Neither the password or token nor anything made from it is shown, even
    // if the server repeats it.
    const QString secret = oauth ? QString::fromLatin1(account.bearerToken) : account.password;
    const QString answer = mail::cleanServerText(auth->reply.text(), CredentialMask(account.userName, secret));
    v.result.data.insert(QStringLiteral("reply"), answer);
    insertEnhanced(v.result.data, auth->reply);
    if (!auth->reply.ok() && oauth) {
        const QString known = describeOAuthSmtpRefusal(auth->reply);
        return v.fail(QStringLiteral("the token for %1 was refused: %2").arg(user, answer),
                      !known.isEmpty() ? known
                                       : QStringLiteral("The server refused the token: check that User_Name is the "
                                                        "mailbox the application may send as."));
    }
    if (!auth->reply.ok()) {
        return v.fail(QStringLiteral("login as %1 refused: %2").arg(user, answer),
                      auth->reply.code == 535
                          ? QStringLiteral("The server refused the user name or password: retype both in %1.")
                                .arg(kAccountDialog)
                          : QStringLiteral("The server did not accept the login: read its answer above, or ask its "
                                           "administrator."));
    }
    v.result.summary = QStringLiteral("logged in as %1 (AUTH %2%3)")
                           .arg(user, trace.mechanism, oauth ? QStringLiteral(" with the OAuth token") : QString());
    return v.pass();
}

} // namespace corvane
