#include "mail/MailComponent.h"

#include "mail/MailAddresses.h"
#include "mail/MailEncoding.h"
#include "mail/MailNetwork.h"
#include "mail/MimeMessage.h"
#include "mail/OAuthErrors.h"

#include <QMetaObject>
#include <QPointer>

#include <exception>
#include <new>
#include <utility>

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
            queue({Event::Status, 0, line});
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

QByteArray MailComponent::newMessageId(const MailProperties &properties) const
{
    return MimeMessage::newMessageId(
        MimeMessage::idDomain(mail::trimSpaces(properties.senderAddress), m_options.heloName));
}

bool MailComponent::submit(quint64 id, const MailProperties &properties)
{
    if (m_unfinished > MaxAhead)
        return false;
    if (&properties != &m_properties)
        m_properties = properties;
    ++m_unfinished;
    m_waiting.push_back({id, m_properties, false, {}, false});
    if (m_unfinished == 1)
        feedSession(); // the first message connects at once
    else
        scheduleFeed(); // built while the server answers the one before, not while the wire waits for it
    return true;
}

void MailComponent::scheduleFeed()
{
    if (m_feedPosted)
        return;
    m_feedPosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_feedPosted = false;
            feedSession();
        },
        Qt::QueuedConnection);
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
}

// Hands messages to the session in order. What the component says of a
// message itself (notes, the POP3 login, a failure before any server) waits
// until the session has finished every message before it, so its events never
// come ahead of theirs; the messages behind wait too, keeping their order.
void MailComponent::feedSession()
{
    while (!m_waiting.empty() && !m_popRunning && m_tokenRequest == 0) {
        Waiting &front = m_waiting.front();
        if (!front.prepared)
            prepare(front);
        MailRequest &request = front.request;
        const bool speaks = !request.notes.isEmpty() || !request.failure.isEmpty() || request.popLogin;
        if (speaks && m_withSession > 0)
            return; // sessionFinished() feeds again
        for (const QString &note : std::exchange(request.notes, {}))
            queue({Event::Status, 0, note});
        if (!request.failure.isEmpty()) {
            fail(front.id, request.failure, request.failurePhase);
        } else if (request.popLogin) {
            m_popRunning = true;
            m_pop.start(request.pop3Host, request.account.userName, request.account.password,
                        request.account.caCertificates);
            return;
        } else if (request.useOAuth && request.account.bearerToken.isEmpty()) {
            // The token as the settings are now, fetched or from memory; the
            // messages behind wait, so they keep their order.
            if (!m_options.tokens) {
                request.failure = QStringLiteral("No sign-in token: nothing provides OAuth tokens here");
                continue;
            }
            m_tokenRequest = m_options.tokens->requestToken(request.signIn);
            return;
        } else {
            if (request.useOAuth)
                m_withToken[front.id] = request;
            ++m_withSession;
            m_session.submit(request.account, request.message);
        }
        m_waiting.pop_front();
    }
}

void MailComponent::onPopFinished(const Pop3Result &result)
{
    if (!m_popRunning)
        return; // cancelled or taken back
    m_popRunning = false;
    MailRequest &front = m_waiting.front().request;
    if (result.loggedIn)
        queue({Event::Status, 0,
               QStringLiteral("POP3 login succeeded as %1").arg(mail::replaceControls(front.account.userName))});
    else
        queue({Event::Status, 0, QStringLiteral("POP3 login failed: %1; sending anyway").arg(result.reason)});
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
        front.notes << QStringLiteral("Sign-in token received from %1").arg(token.source);
    front.account.bearerToken = token.accessToken;
    feedSession();
}

void MailComponent::onTokenFailed(quint64 request, const QString &problem)
{
    if (request != m_tokenRequest || m_waiting.empty())
        return;
    m_tokenRequest = 0;
    m_waiting.front().request.failure = QStringLiteral("No sign-in token: %1").arg(problem);
    feedSession();
}

// A refused token may have been revoked or the settings changed: fetched anew
// once and the message tried once more; a second refusal fails it. Called
// while the session reports: the message goes back to the front of the line,
// and the session is fed later.
bool MailComponent::retryWithNewToken(quint64 id, const MailOutcome &outcome)
{
    const auto it = m_withToken.find(id);
    if (it == m_withToken.end())
        return false;
    MailRequest request = std::move(it->second);
    m_withToken.erase(it);
    if (request.tokenRetried || outcome.kind != MailOutcome::Kind::Refused || outcome.phase != MailPhase::Auth)
        return false;
    m_options.tokens->invalidate(request.signIn);
    queue({Event::Status, 0,
           QStringLiteral("The server refused the sign-in token; fetching a new one and trying once more")});
    request.tokenRetried = true;
    request.account.bearerToken.clear();
    // Behind the others back for a new token, ahead of the rest; not ahead of
    // a front whose login or token is under way.
    const bool busy = m_popRunning || m_tokenRequest != 0;
    auto at = m_waiting.begin();
    while (at != m_waiting.end() && (at->again || (busy && at == m_waiting.begin())))
        ++at;
    m_waiting.insert(at, {id, {}, true, std::move(request), true});
    return true;
}

void MailComponent::fail(quint64 id, const QString &reason, MailPhase phase)
{
    auto outcome = std::make_shared<MailOutcome>();
    outcome->phase = phase;
    outcome->explanation = reason;
    queue({Event::Status, 0, reason});
    queue({Event::Failed, 0, reason});
    queue({Event::Finished, 0, {}, id, std::move(outcome)});
}

std::vector<quint64> MailComponent::withdraw(quint64 keep)
{
    std::vector<quint64> taken;
    for (auto it = m_waiting.end(); it != m_waiting.begin();) {
        --it;
        if (it->id == keep)
            continue;
        if (it == m_waiting.begin()) {
            // What is under way for it is no longer heard.
            if (m_popRunning) {
                m_popRunning = false;
                m_pop.cancel();
            }
            m_tokenRequest = 0;
        }
        taken.push_back(it->id);
        it = m_waiting.erase(it);
    }
    for (const quint64 id : m_session.withdraw(MaxAhead + 1, keep)) {
        taken.push_back(id);
        m_withToken.erase(id);
        --m_withSession;
    }
    m_unfinished -= int(taken.size());
    if (!taken.empty() && !m_waiting.empty())
        scheduleFeed(); // a front that waited for a login or token goes on
    return taken;
}

void MailComponent::cancel()
{
    if (m_unfinished == 0)
        return; // an idle kept connection stays until the component goes
    endAll(false);
}

void MailComponent::close()
{
    m_closing = true;
    if (m_unfinished == 0)
        m_session.close();
    else
        endAll(true);
    reportIfClosed();
}

void MailComponent::endAll(bool polite)
{
    // Everything with the session reports a cancel.
    if (polite)
        m_session.close();
    else
        m_session.cancel();
    if (m_popRunning) {
        m_popRunning = false; // what the login still reports is not heard
        m_pop.cancel();
    }
    m_tokenRequest = 0;
    if (m_options.tokens)
        m_options.tokens->cancelRequests();
    m_withToken.clear();
    // The rest report in their turn, behind what the session still says.
    for (Waiting &waiting : m_waiting) {
        waiting.prepared = true;
        waiting.request = {};
        waiting.request.failure = Cancelled;
    }
    feedSession();
}

void MailComponent::setEventScope(EventScope scope)
{
    m_eventScope = std::move(scope);
}

void MailComponent::deliverPendingEvents()
{
    drain();
}

// --- what the session reports, in order ------------------------------------------

void MailComponent::sessionStatus(quint64 id, const QString &line)
{
    (void)id;
    queue({Event::Status, 0, line});
}

void MailComponent::sessionProgress(quint64 id, int percent)
{
    (void)id;
    queue({Event::Progress, percent, {}});
}

void MailComponent::sessionFinished(quint64 id, const MailOutcome &outcome)
{
    --m_withSession;
    const bool token = m_withToken.count(id) > 0;
    if (!retryWithNewToken(id, outcome)) {
        auto told = std::make_shared<MailOutcome>(outcome);
        // A token's missing permission can show only after the data.
        if (const QString advice = token ? describeOAuthMessageRefusal(outcome) : QString(); !advice.isEmpty())
            told->explanation += QLatin1Char(' ') + advice;
        if (outcome.accepted())
            queue({Event::Succeeded, 0, {}});
        else
            queue({Event::Failed, 0, told->explanation});
        queue({Event::Finished, 0, {}, id, std::move(told)});
    }
    if (!m_waiting.empty())
        scheduleFeed(); // not from here: the session is still reporting
}

void MailComponent::sessionFinalSending(quint64 id)
{
    if (m_hooks.finalSending)
        m_hooks.finalSending(id);
}

void MailComponent::sessionAccepted(quint64 id)
{
    if (m_hooks.accepted)
        m_hooks.accepted(id);
}

void MailComponent::sessionDisconnected()
{
    reportIfClosed();
}

void MailComponent::reportIfClosed()
{
    if (!isClosed() || m_closedPosted)
        return;
    m_closedPosted = true; // from the event loop: the session may be reporting
    QMetaObject::invokeMethod(this, &MailComponent::closed, Qt::QueuedConnection);
}

void MailComponent::sessionStep(SmtpStep step, const SmtpReply &reply)
{
    if (step == SmtpStep::Ehlo && reply.ok())
        m_serverSizeLimit = m_session.capabilities().sizeLimit;
}

// --- events, through the event loop ----------------------------------------------

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
        case Event::Finished:
            --m_unfinished;
            emit finished(event.id, *event.outcome);
            break;
        }
    }
    if (alive)
        reportIfClosed();
    if (alive)
        m_drainPosted = false;
}

} // namespace corvane
