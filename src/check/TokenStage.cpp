// The OAuth token, got the way the service gets it, before anything else
// needs the network.

#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"
#include "check/TokenFetch.h"
#include "mail/MailAddresses.h"

#include <QJsonArray>
#include <QUrl>

namespace corvane {

namespace {

// What the token says about itself, for information only: the SMTP server
// decides. Microsoft puts the application permissions in "roles".
void describeToken(const OAuthToken &token, const OAuthProviderInfo &provider, CheckStageResult &result)
{
    const QString endpoint = QUrl(token.endpoint).toDisplayString(QUrl::RemoveUserInfo);
    const QString life = token.expiresIn > 0 ? QStringLiteral("expires_in %1 s").arg(token.expiresIn)
                                             : QStringLiteral("no expires_in (good for one sign-in)");
    // The proxy by its host, port and user: its password stays in the settings.
    const QString proxy = token.proxy.isEmpty() ? QString() : QStringLiteral(" through ") + token.proxy;
    result.summary =
        QStringLiteral("token from %1%2: HTTP %3, %4").arg(endpoint, proxy).arg(token.httpStatus).arg(life);
    result.data.insert(QStringLiteral("endpoint"), endpoint);
    if (!token.proxy.isEmpty())
        result.data.insert(QStringLiteral("proxy"), token.proxy);
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

// Its failures stop the check here: without a token there is nothing to log
// in with.
bool checkToken(CheckContext &c, StageVerdict &v)
{
    TokenFetch tokens(c.options.timeouts.serverReply);
    const OAuthSignIn signIn = tokens.signIn(c.settings);
    const QString name = c.settings.OAuth.Provider;
    if (!signIn.problem.isEmpty()) {
        return v.fail(QStringLiteral("Provider \"%1\" in [Email_OAuth] is not known").arg(mail::printable(name)),
                      QStringLiteral("Set Provider to %1, or leave it empty to sign in with the password.")
                          .arg(oauthProviderNames()));
    }
    if (signIn.name.isEmpty())
        return v.skip(QStringLiteral("no OAuth provider ([Email_OAuth] Provider is empty)"));
    const OAuthProvider provider = oauthProviderFromName(name).value_or(OAuthProvider::None);
    v.result.data.insert(QStringLiteral("provider"), oauthProviderName(provider));
    // The service takes the OAuth settings only together with Login; alone
    // they would be ignored and the mail sent without any sign-in.
    if (!c.settings.AccountSettings.UseLogin) {
        return v.fail(QStringLiteral("Provider is %1 but Login is off: OAuth needs Login on")
                          .arg(oauthProviderName(provider)),
                      QStringLiteral("Turn Login on in %1, or empty Provider in [Email_OAuth] if the server takes "
                                     "mail without a sign-in.").arg(kAccountDialog));
    }
    if (!checkCaFile(c, v))
        return false;
    const TokenFetch::Answer fetched = tokens.fetch(signIn.name);
    if (!fetched.token) {
        // The source's text names the cause and what to do about it.
        return v.fail(fetched.problem,
                      QStringLiteral("Correct [Email_OAuth] in Corvane.ini as said above: the service gets its token "
                                     "the same way and cannot sign in until this passes."));
    }
    c.signIn = signIn.name;
    c.bearerToken = fetched.token->accessToken;
    describeToken(*fetched.token, *oauthProviderInfo(provider), v.result);
    return v.pass();
}

} // namespace corvane
