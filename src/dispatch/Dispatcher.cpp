#include "dispatch/Dispatcher.h"

#include "dispatch/RetryRule.h"
#include "mail/MailComponent.h"
#include "oauth/OAuthSettings.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "storage/Settings.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include <algorithm>

namespace corvane {

namespace {

// What the server said, or what happened when it said nothing.
QString lastReply(const MailOutcome &outcome)
{
    if (outcome.code > 0)
        return QStringLiteral("%1 %2").arg(outcome.code).arg(outcome.reply).trimmed();
    return outcome.explanation;
}

} // namespace

Dispatcher::Dispatcher(NotificationQueue &queue, const Settings &settings,
                       MailComponent &component, const ActivityLog &log, Clock clock,
                       OAuthTokenSource *tokens, QObject *parent)
    : QObject(parent)
    , m_queue(queue)
    , m_settings(settings)
    , m_component(component)
    , m_log(log)
    , m_clock(std::move(clock))
    , m_tokens(tokens)
{
    connect(&m_component, &MailComponent::sendOutcome, this, &Dispatcher::onOutcome);
    connect(&m_component, &MailComponent::finished, this, &Dispatcher::onSendFinished);
    // What the server took leaves the journal the moment that is known, before
    // the next message's end of data goes out: a crash then repeats at most the
    // one message on the wire, and that one is known and keeps its Message-ID.
    m_component.setDeliveryHooks({[this](quint64 send, const QByteArray &messageId) { onFinalSending(send, messageId); },
                                  [this](quint64 send) { onAccepted(send); }});
}

void Dispatcher::onFinalSending(quint64 send, const QByteArray &messageId)
{
    if (const auto it = m_slotOfSend.find(send); it != m_slotOfSend.end()) {
        m_queue.markSending(it->second, messageId);
        m_finalSentId[it->second] = messageId;
    }
}

void Dispatcher::onOutcome(const MailOutcome &outcome)
{
    m_outcome = outcome;
    // Taken back now, while the component still counts this send as running:
    // the ones lined up behind it would meet the same server.
    const RetryRule::Decision decision = RetryRule::classify(outcome);
    if (decision.verdict == RetryRule::Verdict::Deferred && decision.serverWide && m_passRunning && !m_stopped
        && m_settings.AccountSettings.RetryHours > 0)
        takeBackLinedUp();
}

bool Dispatcher::isDue(int index) const
{
    if (!m_queue.emailQueue().isPending(index))
        return false;
    const NotificationQueue::RetryState *retry = m_queue.retryState(index);
    return !retry || retry->nextTryMs == 0 || m_queue.isDue(index, nowMs());
}

qint64 Dispatcher::nowMs() const
{
    return m_clock().toMSecsSinceEpoch();
}

// The clock is read only when a pause or a limit asks for it: an idle tick
// reads nothing.
bool Dispatcher::mayStartNow()
{
    const int perMinute = m_settings.AccountSettings.MaxPerMinute;
    if (m_pausedUntilMs == 0 && perMinute <= 0)
        return true;
    const qint64 now = nowMs();
    if (now < m_pausedUntilMs)
        return false;
    m_pausedUntilMs = 0;
    if (perMinute <= 0)
        return true;
    while (!m_recentStarts.empty() && now - m_recentStarts.front() >= 60000)
        m_recentStarts.pop_front();
    return int(m_recentStarts.size()) < perMinute;
}

void Dispatcher::settle(int index)
{
    const std::optional<MailOutcome> outcome = std::exchange(m_outcome, std::nullopt);
    std::optional<QByteArray> sentId;
    if (const auto finalSent = m_finalSentId.find(index); finalSent != m_finalSentId.end()) {
        sentId = finalSent->second;
        m_finalSentId.erase(finalSent);
    }
    // Without an outcome the component never took the send (it was busy):
    // freed, as a send that returned.
    const RetryRule::Decision decision =
        outcome ? RetryRule::classify(*outcome) : RetryRule::Decision{RetryRule::Verdict::Failed, false, false};
    if (decision.verdict == RetryRule::Verdict::Accepted)
        m_serverFailures = 0;
    const bool retry = decision.verdict == RetryRule::Verdict::Deferred && m_settings.AccountSettings.RetryHours > 0;
    if (retry && m_stopped)
        return; // cut short by the close: it stays pending, and goes first after the start
    if (retry)
        deferOrGiveUp(index, *outcome, decision, decision.mayHaveArrived ? sentId : std::nullopt);
    else
        m_queue.release(index);
    if (const int deferred = m_queue.deferredCount(); deferred != m_reportedDeferred) {
        m_reportedDeferred = deferred;
        emit deferredCountChanged(deferred);
    }
}

void Dispatcher::deferOrGiveUp(int index, const MailOutcome &outcome, const RetryRule::Decision &decision,
                               const std::optional<QByteArray> &sentId)
{
    const bool serverWide = decision.serverWide;
    const bool mayHaveArrived = decision.mayHaveArrived;
    const QString subject = m_queue.emailQueue().at(index).Subject;
    const NotificationQueue::RetryState *prior = m_queue.retryState(index);
    NotificationQueue::RetryState state;
    state.firstAttemptMs = prior ? prior->firstAttemptMs : m_attemptStartMs;
    state.attempts = (prior ? prior->attempts : 0) + 1;
    const qint64 now = nowMs();
    const std::optional<qint64> next =
        RetryRule::nextTryMs(state.firstAttemptMs, state.attempts, now, m_settings.AccountSettings.RetryHours);
    if (!next) {
        const QString line = QStringLiteral("Given up:%1 after %2 attempts; last reply: %3")
                                 .arg(subject)
                                 .arg(state.attempts)
                                 .arg(lastReply(outcome));
        m_log.WriteLog(line);
        emit statusLine(line);
        m_queue.release(index);
        return;
    }
    state.nextTryMs = *next;
    if (serverWide) {
        // Every message to this server waits; the back-off grows while the
        // condition lasts, whichever message meets it.
        ++m_serverFailures;
        const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(RetryRule::delayAfter(m_serverFailures));
        state.nextTryMs = std::max(state.nextTryMs, now + pause.count());
        m_pausedUntilMs = std::max(m_pausedUntilMs, state.nextTryMs);
        takeBackLinedUp();
    }
    if (sentId) {
        state.repeatsMessageId = true;
        state.messageId = *sentId;
    }
    m_queue.defer(index, state);
    const QString at = QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(state.nextTryMs, m_clock().timeZone()),
                                             QStringLiteral("HH:mm:ss"));
    const QString line = QStringLiteral("Deferred:%1 (attempt %2%3): %4; next try at %5")
                             .arg(subject)
                             .arg(state.attempts)
                             .arg(serverWide ? QStringLiteral(", every message waits") : QString())
                             .arg(lastReply(outcome))
                             .arg(at);
    m_log.WriteLog(line);
    emit statusLine(line);
    if (mayHaveArrived) {
        const QString twice = QStringLiteral("Deferred:%1 went out without a reply to its end of data; it goes again "
                                             "with the same Message-ID and may arrive twice")
                                  .arg(subject);
        m_log.WriteLog(twice);
        emit statusLine(twice);
    }
    emit progressText(QStringLiteral("Next try %1").arg(at));
    emit sendDeferred();
}

void Dispatcher::onAccepted(quint64 send)
{
    const auto it = m_slotOfSend.find(send);
    if (it == m_slotOfSend.end())
        return;
    if (it->second == m_sending)
        m_queue.markDelivered(it->second);
    else
        m_acceptedUnlogged.insert(it->second);
}

bool Dispatcher::startSend(int index, bool first)
{
    const quint64 number = m_component.nextSendNumber();
    m_slotOfSend[number] = index; // a hook may come from inside the call
    const bool started = first ? m_component.Send() : m_component.SendNext();
    if (!started)
        m_slotOfSend.erase(number);
    else if (m_settings.AccountSettings.MaxPerMinute > 0)
        m_recentStarts.push_back(nowMs());
    return started;
}

void Dispatcher::logSendEmail(int index)
{
    m_attemptStartMs = nowMs();
    m_log.WriteLog(QStringLiteral("Send email:") + m_queue.emailQueue().at(index).Subject);
    if (m_queue.sentBeforeRestart(index))
        m_log.WriteLog(QStringLiteral("Sent again after a restart: it may arrive twice"));
    else if (const NotificationQueue::RetryState *retry = m_queue.retryState(index); retry && retry->repeatsMessageId)
        m_log.WriteLog(QStringLiteral("Sent again with the same Message-ID: it may arrive twice"));
    if (m_acceptedUnlogged.erase(index) > 0)
        m_queue.markDelivered(index);
}

bool Dispatcher::isPassRunning() const
{
    return m_passRunning;
}

void Dispatcher::onTick()
{
    // A pass that is still waiting for a send owns the queue walk; starting
    // another one here would hand the same pending entry to the component twice.
    if (m_passRunning || m_stopped)
        return;
    // Messages queued outside the command port (the test dialog) are written
    // through already; this puts them on disk before they are sent, and gives
    // a journal that could not be written its next try.
    m_queue.syncJournal();
    if (m_pausedUntilMs > 0 && nowMs() < m_pausedUntilMs)
        return; // the server asked for a pause: nothing goes to it until then
    m_passRunning = true;
    m_bound = m_queue.emailQueue().upperBound();
    m_index = 0;
    sendFrom();
}

void Dispatcher::stop()
{
    m_stopped = true;
    // Messages lined up but not begun stay in the queue, unsent.
    takeBackLinedUp();
}

void Dispatcher::accountChanged()
{
    // The messages lined up behind the running send were filled from the
    // account as it was then; those not yet begun go with the account as it is
    // now.
    if (m_stopped)
        return;
    takeBackLinedUp();
    lineUpMore();
}

void Dispatcher::takeBackLinedUp()
{
    // The component takes back the newest first: they are the last ones here.
    for (int taken = m_component.withdrawWaiting(); taken > 0 && !m_linedUp.empty(); --taken) {
        m_linedUp.pop_back();
        if (!m_slotOfSend.empty())
            m_slotOfSend.erase(std::prev(m_slotOfSend.end()));
    }
}

void Dispatcher::sendFrom()
{
    while (!m_stopped && m_index <= m_bound) {
        const int index = m_index;
        if (!isDue(index)) {
            ++m_index;
            continue;
        }
        if (!mayStartNow())
            break; // a later tick goes on
        fillComponent(index);
        // The send is started before its list is cleared and its first log
        // line written: the component works on another thread and none of its
        // events can arrive before we return to the event loop, so the operator
        // and the log still see the clearing and "Send email:" first, while
        // the message is already on its way.
        m_sending = index;
        m_insideSend = true;
        m_finishedInsideSend = false;
        const bool started = startSend(index, true);
        emit statusCleared();
        logSendEmail(index);
        m_insideSend = false;
        if (started && !m_finishedInsideSend) {
            lineUpMore();
            return; // onSendFinished picks the walk up again
        }

        // Refused, or already over before Send() came back: either way this
        // attempt has ended.
        settle(index);
        m_sending = -1;
        ++m_index;
    }
    endPass();
}

void Dispatcher::onSendFinished()
{
    if (!m_slotOfSend.empty())
        m_slotOfSend.erase(m_slotOfSend.begin()); // sends finish in the order they were made
    if (m_insideSend) {
        // Delivered from within Send() or the clearing after it; sendFrom()
        // frees the slot once they have returned, so the walk never re-enters
        // itself.
        m_finishedInsideSend = true;
        return;
    }
    if (!m_passRunning || m_sending < 0) {
        m_outcome.reset();
        return;
    }
    settle(m_sending);
    m_sending = -1;
    ++m_index;
    if (!m_linedUp.empty()) {
        // Already on its way (also when the close came too late to take it
        // back): it becomes the running send, shown and logged as every send.
        m_sending = m_linedUp.front();
        m_linedUp.pop_front();
        m_index = m_sending;
        emit statusCleared();
        logSendEmail(m_sending);
        lineUpMore();
        return;
    }
    if (m_stopped)
        endPass();
    else
        sendFrom();
}

void Dispatcher::lineUpMore()
{
    if (m_stopped || !m_passRunning || m_sending < 0)
        return;
    int index = (m_linedUp.empty() ? m_sending : m_linedUp.back()) + 1;
    for (; index <= m_bound; ++index) {
        if (!isDue(index))
            continue;
        if (!mayStartNow())
            return;
        fillComponent(index);
        if (!startSend(index, false))
            return; // as many as the component takes
        m_linedUp.push_back(index);
    }
}

void Dispatcher::endPass()
{
    m_acceptedUnlogged.clear();
    m_finalSentId.clear();
    m_passRunning = false;
    m_sending = -1;
    m_linedUp.clear();
    emit passFinished();
}

void Dispatcher::fillComponent(int index)
{
    const AccountSettingsRecord &account = m_settings.AccountSettings;
    const QueuedEmail &entry = m_queue.emailQueue().at(index);
    MailComponent &mail = m_component;

    // The component keeps every value until it is set again, so the order and
    // completeness of this list is what makes one message independent of the
    // one before (except the priority, see below).
    mail.setFirstOption(0);
    mail.setSecondOption(1);
    mail.setAddressSeparator(QStringLiteral(";"));
    mail.setSmtpHost(account.SmtpServer);
    mail.setSenderAddress(account.SenderEmail);
    mail.setSenderName(account.SenderName);
    mail.setRecipients(entry.Recipients);
    for (int text = 0; text < 5; ++text)
        mail.setFurtherText(text, QString());
    mail.setSubject(entry.Subject);
    mail.setMessageText(entry.Body);
    mail.setFurtherText(5, QString());
    mail.setHtml(account.UseHtml);
    mail.setFurtherText(6, QString());
    mail.setEncodingType(account.UseMime ? 0 : 1);
    // A priority outside 0..2 (a hand-edited file) leaves the value of the
    // previous message in place rather than guessing one.
    switch (account.Priority) {
    case 0:
        mail.setPriority(3);
        break;
    case 1:
        mail.setPriority(1);
        break;
    case 2:
        mail.setPriority(5);
        break;
    default:
        break;
    }
    mail.setReturnReceipt(account.RequestReceipt);
    mail.setServerLogin(account.UseLogin);
    mail.setPopLogin(account.UsePopLogin);
    mail.setUserName(account.UserName);
    mail.setPassword(account.UserPassword);
    mail.setPop3Host(account.Pop3Server);
    mail.setThirdOption(100);
    mail.setCaFile(account.CaFile);
    // A message that may have arrived already goes with the same Message-ID,
    // so that a receiver can tell the copies are one.
    std::optional<QByteArray> repeatId = m_queue.sentBeforeRestart(index);
    if (const NotificationQueue::RetryState *retry = m_queue.retryState(index);
        !repeatId && retry && retry->repeatsMessageId)
        repeatId = retry->messageId;
    mail.setMessageId(repeatId.value_or(QByteArray()));
    setOAuth(mail);
}

// [Email_OAuth] as the mail component takes it.
void Dispatcher::setOAuth(MailComponent &mail)
{
    const OAuthSignIn signIn = oauthSignInFrom(m_settings, m_tokens);
    mail.setSignIn(signIn.name, signIn.problem);
}

} // namespace corvane
