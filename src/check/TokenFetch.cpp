#include "check/TokenFetch.h"

#include "check/NetworkThreads.h"
#include "storage/Settings.h"

#include <QDateTime>
#include <QEventLoop>

namespace corvane {

TokenFetch::TokenFetch(std::chrono::milliseconds timeout)
{
    m_source.emplace(timeout, [] { return QDateTime::currentMSecsSinceEpoch(); });
}

TokenFetch::~TokenFetch()
{
    m_source.reset();
    awaitNetworkThreadsGone(std::chrono::seconds(1));
}

OAuthSignIn TokenFetch::signIn(const Settings &settings)
{
    return oauthSignInFrom(settings, &*m_source);
}

TokenFetch::Answer TokenFetch::fetch(const QByteArray &signIn)
{
    Answer answer;
    QEventLoop loop;
    quint64 wanted = 0;
    // The source answers from the event loop only, so the id is known by then.
    QObject::connect(&*m_source, &TokenProvider::tokenReady, &loop, [&](quint64 id, const BearerToken &) {
        if (id != wanted)
            return;
        answer.token = m_source->heldToken(signIn);
        loop.quit();
    });
    QObject::connect(&*m_source, &TokenProvider::tokenFailed, &loop, [&](quint64 id, const QString &problem) {
        if (id != wanted)
            return;
        answer.problem = problem;
        loop.quit();
    });
    wanted = m_source->requestToken(signIn);
    loop.exec();
    return answer;
}

} // namespace corvane
