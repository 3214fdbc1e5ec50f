#include "mail/HostLookup.h"

#include "mail/SystemResolver.h"

#include <QMetaObject>

#include <mutex>
#include <thread>

namespace corvane {

struct HostLookup::State {
    std::mutex mutex;
    bool abandoned = false;
};

void HostLookup::start(QObject *context, const QString &host, Done done)
{
    abandon();
    auto state = std::make_shared<State>();
    m_state = state;
    QObject *receiver = context; // alive until abandon(), which takes the lock
    auto deliver = [state, receiver, done = std::move(done)](QList<QHostAddress> addresses, QString error) {
        // Posted under the lock: abandon() (taken by the owner before it goes
        // away) either comes first and nothing is posted, or after the post.
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->abandoned)
            return;
        QMetaObject::invokeMethod(
            receiver,
            [state, done, addresses, error] {
                {
                    std::lock_guard<std::mutex> again(state->mutex);
                    if (state->abandoned)
                        return;
                    state->abandoned = true; // answered: once only
                }
                done(addresses, error);
            },
            Qt::QueuedConnection);
    };

    QHostAddress literal;
    if (literal.setAddress(host)) {
        deliver({literal}, {});
        return;
    }
    std::thread([host = host.toUtf8(), deliver = std::move(deliver)] {
        QList<QHostAddress> addresses;
        QString error;
        resolveWithSystem(host, &addresses, &error);
        deliver(std::move(addresses), std::move(error));
    }).detach();
}

void HostLookup::abandon()
{
    if (!m_state)
        return;
    // Held until the lock is released: the last reference going with the
    // lock held would destroy the mutex before its unlock (a crash with
    // Windows' threads).
    const std::shared_ptr<State> state = std::move(m_state);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->abandoned = true;
}

} // namespace corvane
