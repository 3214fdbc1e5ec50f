#include "check/TokenFetch.h"

#include "oauth/OAuthTokenSource.h"

#include <QDateTime>
#include <QEventLoop>

namespace corvane {

TokenFetch fetchOAuthToken(const OAuthConfig &config, std::chrono::milliseconds timeout)
{
    OAuthTokenSource source(timeout, [] { return QDateTime::currentMSecsSinceEpoch(); });
    const QByteArray signIn = source.signInFor(config);
    TokenFetch fetched;
    QEventLoop loop;
    quint64 wanted = 0;
    // The source answers from the event loop only, so the id is known by then.
    QObject::connect(&source, &TokenProvider::tokenReady, &loop, [&](quint64 id, const BearerToken &) {
        if (id != wanted)
            return;
        fetched.token = source.heldToken(signIn);
        loop.quit();
    });
    QObject::connect(&source, &TokenProvider::tokenFailed, &loop, [&](quint64 id, const QString &problem) {
        if (id != wanted)
            return;
        fetched.problem = problem;
        loop.quit();
    });
    wanted = source.requestToken(signIn);
    loop.exec();
    return fetched;
}

} // namespace corvane
