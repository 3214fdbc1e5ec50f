#include "mail/MailComponent.h"

#include "mail/MailEncoding.h"
#include "mail/MailNetwork.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <exception>
#include <new>

namespace corvane {

namespace {

const QString Cancelled = QStringLiteral("Sending cancelled: the program is closing");

MailOptions withLocalName(MailOptions options)
{
    // One cleaned name for EHLO and for Message-IDs.
    options.heloName = mail::localHostName(options.heloName);
    if (!options.clock)
        options.clock = [] { return QDateTime::currentDateTime(); };
    return options;
}

} // namespace

MailComponent::MailComponent(MailTimeouts timeouts, QObject *parent)
    : MailComponent(timeouts, MailOptions{}, parent)
{
}

MailComponent::MailComponent(MailTimeouts timeouts, MailOptions options, QObject *parent)
    : QObject(parent),
      m_options(withLocalName(std::move(options))),
      m_session(timeouts, m_options.reuseConnection, *this),
      m_pop(timeouts)
{
    if (m_options.tokens) {
        connect(m_options.tokens, &TokenProvider::tokenReady, this, &MailComponent::onToken);
        connect(m_options.tokens, &TokenProvider::tokenFailed, this, &MailComponent::onTokenFailed);
    }
    connect(&m_pop, &Pop3Client::status, this, [this](const QString &line) {
        if (m_popRunning)
            deliver(m_waiting.front().id, {Event::Status, 0, line});
    });
    connect(&m_pop, &Pop3Client::finished, this, &MailComponent::onPopFinished);
}

MailComponent::~MailComponent()
{
    m_pop.disconnect(this);
}

void MailComponent::setStartupOption(bool value) { m_startupOption = value; }
void MailComponent::setFirstOption(int value) { m_properties.firstOption = value; }
void MailComponent::setSecondOption(int value) { m_properties.secondOption = value; }
void MailComponent::setAddressSeparator(const QString &value) { m_properties.addressSeparator = value; }
void MailComponent::setSmtpHost(const QString &value) { m_properties.smtpHost = value; }
void MailComponent::setSenderAddress(const QString &value) { m_properties.senderAddress = value; }
void MailComponent::setSenderName(const QString &value) { m_properties.senderName = value; }
void MailComponent::setRecipients(const QString &value) { m_properties.recipients = value; }

void MailComponent::setFurtherText(int index, const QString &value)
{
    if (index >= 0 && index < m_properties.furtherTexts.size())
        m_properties.furtherTexts[index] = value;
}

void MailComponent::setSubject(const QString &value) { m_properties.subject = value; }
void MailComponent::setMessageText(const QString &value) { m_properties.messageText = value; }
void MailComponent::setHtml(bool value) { m_properties.html = value; }
void MailComponent::setEncodingType(int value) { m_properties.encodingType = value; }
void MailComponent::setPriority(int value) { m_properties.priority = value; }
void MailComponent::setReturnReceipt(bool value) { m_properties.returnReceipt = value; }
void MailComponent::setServerLogin(bool value) { m_properties.serverLogin = value; }
void MailComponent::setPopLogin(bool value) { m_properties.popLogin = value; }
void MailComponent::setUserName(const QString &value) { m_properties.userName = value; }
void MailComponent::setPassword(const QString &value) { m_properties.password = value; }
void MailComponent::setPop3Host(const QString &value) { m_properties.pop3Host = value; }
void MailComponent::setThirdOption(int value) { m_properties.thirdOption = value; }
void MailComponent::setCaFile(const QString &value) { m_properties.caFile = value; }
void MailComponent::setMessageId(const QByteArray &value) { m_properties.messageId = value; }

void MailComponent::setSignIn(const QByteArray &signIn, const QString &problem)
{
    m_properties.signIn = signIn;
    m_properties.signInProblem = problem;
}

const MailProperties &MailComponent::properties() const
{
    return m_properties;
}

bool MailComponent::Send()
{
    if (!m_outstanding.empty())
        return false;
    submit(true);
    return true;
}

bool MailComponent::SendNext()
{
    if (m_outstanding.empty() || m_outstanding.size() > std::size_t(MaxAhead))
        return false;
    submit(false);
    return true;
}

void MailComponent::submit(bool now)
{
    const quint64 id = ++m_nextId;
    m_outstanding.push_back(id);
    m_tickets.push_back({id, {}, false, {}});
    m_waiting.push_back({id, m_properties, false, {}});
    if (now) {
        feedSession(); // the first send connects at once
    } else if (!m_feedPosted) {
        // After the caller's turn: the message is built while the server
        // answers the one before, not while the wire waits for it.
        m_feedPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_feedPosted = false;
                feedSession();
            },
            Qt::QueuedConnection);
    }
}

void MailComponent::prepare(Waiting &waiting)
{
    waiting.prepared = true;
    // Nothing thrown while a message is made ready may end more than that
    // message: it fails, and the next one starts clean.
    try {
        waiting.request = MailRequest::fromProperties(waiting.properties, m_options, m_authorities);
    } catch (const std::bad_alloc &) {
        waiting.request = {};
        waiting.request.failure = QStringLiteral("Sending failed: out of memory");
    } catch (const std::exception &error) {
        waiting.request = {};
        waiting.request.failure =
            QStringLiteral("Sending failed: an internal error (%1)").arg(QString::fromLocal8Bit(error.what()));
        waiting.request.failurePhase = MailPhase::Data; // this message's own, and it would fail again
    }
    waiting.request.message.id = waiting.id;
    for (const QString &note : waiting.request.notes)
        deliver(waiting.id, {Event::Status, 0, note});
}

// Hands requests to the session in order; one that logs in to POP3 first
// holds the ones behind it until its login is over.
void MailComponent::feedSession()
{
    while (!m_waiting.empty() && !m_popRunning && m_tokenRequest == 0) {
        Waiting &front = m_waiting.front();
        if (!front.prepared)
            prepare(front);
        MailRequest &request = front.request;
        if (!request.failure.isEmpty()) {
            failRequest(front.id, request.failure, request.failurePhase);
        } else if (request.popLogin) {
            m_popRunning = true;
            m_pop.start(request.pop3Host, request.account.userName, request.account.password,
                        request.account.caCertificates);
            return;
        } else if (request.useOAuth && request.account.bearerToken.isEmpty()) {
            // The token as the settings are now, fetched or from memory; the
            // messages behind wait, so they keep their order.
            if (!m_options.tokens) {
                failRequest(front.id, QStringLiteral("No sign-in token: nothing provides OAuth tokens here"));
                m_waiting.pop_front();
                continue;
            }
            m_tokenRequest = m_options.tokens->requestToken(request.signIn);
            return;
        } else {
            for (Ticket &ticket : m_tickets) {
                if (ticket.id == front.id)
                    ticket.messageId = request.messageId;
            }
            if (request.useOAuth)
                m_signedIn[front.id] = request;
            m_session.submit(request.account, request.message);
        }
        m_waiting.pop_front();
    }
}

void MailComponent::onPopFinished(const Pop3Result &result)
{
    if (!m_popRunning)
        return; // cancelled
    m_popRunning = false;
    MailRequest &front = m_waiting.front().request;
    const quint64 id = front.message.id;
    if (result.loggedIn)
        deliver(id, {Event::Status, 0,
                     QStringLiteral("POP3 login succeeded as %1").arg(mail::replaceControls(front.account.userName))});
    else
        deliver(id, {Event::Status, 0, QStringLiteral("POP3 login failed: %1; sending anyway").arg(result.reason)});
    front.popLogin = false;
    feedSession();
}

void MailComponent::onToken(quint64 request, const BearerToken &token)
{
    if (request != m_tokenRequest || m_waiting.empty())
        return;
    m_tokenRequest = 0;
    MailRequest &front = m_waiting.front().request;
    if (!token.fromCache)
        deliver(front.message.id, {Event::Status, 0, QStringLiteral("Sign-in token received from %1").arg(token.source)});
    front.account.bearerToken = token.accessToken;
    feedSession();
}

void MailComponent::onTokenFailed(quint64 request, const QString &problem)
{
    if (request != m_tokenRequest || m_waiting.empty())
        return;
    m_tokenRequest = 0;
    failRequest(m_waiting.front().id, QStringLiteral("No sign-in token: %1").arg(problem));
    m_waiting.pop_front();
    feedSession();
}

// A refused token may have been revoked or the settings changed: fetched anew
// once and the message tried once more; a second refusal fails it.
bool MailComponent::retryWithNewToken(quint64 id, const MailOutcome &outcome)
{
    const auto it = m_signedIn.find(id);
    if (it == m_signedIn.end())
        return false;
    MailRequest request = std::move(it->second);
    m_signedIn.erase(it);
    if (request.tokenRetried || outcome.kind != MailOutcome::Kind::Refused || outcome.phase != MailPhase::Auth)
        return false;
    m_options.tokens->invalidate(request.signIn);
    deliver(id, {Event::Status, 0,
                 QStringLiteral("The server refused the sign-in token; fetching a new one and trying once more")});
    request.tokenRetried = true;
    request.account.bearerToken.clear();
    Waiting again{id, {}, true, std::move(request)};
    // Ahead of everything not yet begun, unless a login or token is under way for that one.
    const bool busy = m_popRunning || m_tokenRequest != 0;
    m_waiting.insert(busy && !m_waiting.empty() ? m_waiting.begin() + 1 : m_waiting.begin(), std::move(again));
    feedSession();
    return true;
}

void MailComponent::failRequest(quint64 id, const QString &reason, MailPhase phase)
{
    auto outcome = std::make_shared<MailOutcome>();
    outcome->phase = phase;
    outcome->explanation = reason;
    deliver(id, {Event::Status, 0, reason, {}});
    deliver(id, {Event::Failed, 0, reason, {}});
    deliver(id, {Event::Outcome, 0, {}, std::move(outcome)});
    deliver(id, {Event::Finished, 0, {}, {}});
}

int MailComponent::withdrawWaiting()
{
    // The oldest outstanding send came through Send() and is never taken back.
    if (m_outstanding.empty())
        return 0;
    const quint64 oldest = m_outstanding.front();
    int wanted = int(m_outstanding.size()) - 1;
    std::vector<quint64> taken;
    const std::size_t busyFront = m_popRunning || m_tokenRequest != 0 ? 1 : 0;
    // Newest first; a message sent again with a new token may stand behind
    // newer ones, so the tickets go by number, not by place.
    while (wanted > 0 && m_waiting.size() > busyFront && m_waiting.back().id != oldest) {
        taken.push_back(m_waiting.back().id);
        m_waiting.pop_back();
        --wanted;
    }
    if (wanted > 0 && m_waiting.empty()) {
        for (const quint64 id : m_session.withdraw(wanted, oldest))
            taken.push_back(id);
    }
    for (const quint64 id : taken) {
        const auto ticket = std::find_if(m_tickets.begin(), m_tickets.end(), [id](const Ticket &t) { return t.id == id; });
        if (ticket != m_tickets.end())
            m_tickets.erase(ticket);
        m_signedIn.erase(id);
        m_outstanding.erase(std::find(m_outstanding.begin(), m_outstanding.end(), id));
    }
    return int(taken.size());
}

bool MailComponent::isSending() const
{
    return !m_outstanding.empty();
}

void MailComponent::cancel()
{
    if (m_outstanding.empty())
        return;
    withdrawWaiting();
    m_session.cancel(); // the oldest sends: they report first
    if (m_popRunning) {
        m_popRunning = false; // what the login still reports is not heard
        m_pop.cancel();
    }
    m_tokenRequest = 0;
    if (m_options.tokens)
        m_options.tokens->cancelRequests();
    m_signedIn.clear();
    while (!m_waiting.empty()) {
        failRequest(m_waiting.front().id, Cancelled);
        m_waiting.pop_front();
    }
}

void MailComponent::setEventScope(EventScope scope)
{
    m_eventScope = std::move(scope);
}

void MailComponent::deliverPendingEvents()
{
    drain();
}

// --- events, in order ------------------------------------------------------------

void MailComponent::sessionStatus(quint64 id, const QString &line)
{
    deliver(id, {Event::Status, 0, line});
}

void MailComponent::sessionProgress(quint64 id, int percent)
{
    deliver(id, {Event::Progress, percent, {}});
}

void MailComponent::sessionFinished(quint64 id, const MailOutcome &outcome)
{
    if (retryWithNewToken(id, outcome))
        return;
    if (outcome.accepted())
        deliver(id, {Event::Succeeded, 0, {}, {}});
    else
        deliver(id, {Event::Failed, 0, outcome.explanation, {}});
    deliver(id, {Event::Outcome, 0, {}, std::make_shared<const MailOutcome>(outcome)});
    deliver(id, {Event::Finished, 0, {}, {}});
}

void MailComponent::sessionFinalSending(quint64 id)
{
    if (!m_hooks.finalSending)
        return;
    for (const Ticket &ticket : m_tickets) {
        if (ticket.id == id)
            m_hooks.finalSending(id, ticket.messageId);
    }
}

void MailComponent::sessionAccepted(quint64 id)
{
    if (m_hooks.accepted)
        m_hooks.accepted(id);
}

// A send's events go out once every send before it has finished: a request
// refused before it reached a server must not report ahead of those.
void MailComponent::deliver(quint64 id, Event event)
{
    auto ticket = std::find_if(m_tickets.begin(), m_tickets.end(), [id](const Ticket &t) { return t.id == id; });
    if (ticket == m_tickets.end())
        return; // withdrawn
    if (ticket != m_tickets.begin()) {
        ticket->done = ticket->done || event.kind == Event::Finished;
        ticket->held.push_back(std::move(event));
        return;
    }
    const bool finishedFront = event.kind == Event::Finished;
    queue(std::move(event));
    if (!finishedFront)
        return;
    m_tickets.pop_front();
    while (!m_tickets.empty()) {
        Ticket &next = m_tickets.front();
        for (Event &held : next.held)
            queue(std::move(held));
        next.held.clear();
        if (!next.done)
            break;
        m_tickets.pop_front();
    }
}

void MailComponent::queue(Event event)
{
    m_events.push_back(std::move(event));
    if (m_drainPosted)
        return;
    m_drainPosted = true;
    QMetaObject::invokeMethod(this, &MailComponent::drain, Qt::QueuedConnection);
}

void MailComponent::drain()
{
    // A copy: a slot may delete the component and the scope with it.
    const EventScope scope = m_eventScope;
    if (scope)
        scope([this] { drainEvents(); });
    else
        drainEvents();
}

// One event at a time, so a slot that runs a nested event loop still sees the
// rest in order.
void MailComponent::drainEvents()
{
    const QPointer<MailComponent> alive(this);
    while (alive && !m_events.empty()) {
        const Event event = std::move(m_events.front());
        m_events.pop_front();
        switch (event.kind) {
        case Event::Progress: emit Progress(event.percent); break;
        case Event::Status: emit Status(event.text); break;
        case Event::Succeeded: emit SendSuccesful(); break;
        case Event::Failed: emit SendFailed(event.text); break;
        case Event::Outcome: emit sendOutcome(*event.outcome); break;
        case Event::Finished:
            m_outstanding.pop_front();
            emit finished();
            break;
        }
    }
    if (alive)
        m_drainPosted = false;
}

} // namespace corvane
