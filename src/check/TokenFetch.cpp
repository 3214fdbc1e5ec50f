#include "check/TokenFetch.h"

#include <QDateTime>
#include <QEventLoop>

namespace corvane {

TokenFetch fetchOAuthToken(const OAuthConfig &config, std::chrono::milliseconds timeout)
{
    OAuthTokenSource source(timeout, [] { return QDateTime::currentMSecsSinceEpoch(); });
    TokenFetch fetched;
    QEventLoop loop;
    quint64 wanted = 0;
    // The source answers from the event loop only, so the id is known by then.
    QObject::connect(&source, &OAuthTokenSource::ready, &loop, [&](quint64 id, const OAuthToken &token) {
        if (id != wanted)
            return;
        fetched.token = token;
        loop.quit();
    });
    QObject::connect(&source, &OAuthTokenSource::failed, &loop, [&](quint64 id, const QString &problem) {
        if (id != wanted)
            return;
        fetched.problem = problem;
        loop.quit();
    });
    wanted = source.request(config);
    loop.exec();
    return fetched;
}

} // namespace corvane
