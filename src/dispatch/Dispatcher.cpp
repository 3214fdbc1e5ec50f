#include "dispatch/Dispatcher.h"

#include "dispatch/DigestBuilder.h"
#include "dispatch/MessageProperties.h"
#include "intake/NotificationQueue.h"
#include "mail/MailComponent.h"
#include "oauth/OAuthSettings.h"
#include "storage/ActivityLog.h"
#include "storage/Settings.h"

#include <QDateTime>
#include <QHash>
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
                       OAuthTokenSource *tokens, QueueJournal *journal, QObject *parent)
    : QObject(parent)
    , m_queue(queue)
    , m_settings(settings)
    , m_component(component)
    , m_log(log)
    , m_clock(std::move(clock))
    , m_tokens(tokens)
    , m_journal(journal)
    , m_digests(queue, settings, component, m_book, m_clock)
{
    connect(&m_component, &MailComponent::finished, this, &Dispatcher::onFinished);
    // What the server took leaves the journal the moment that is known, before
    // the next message's end of data goes out: a crash then repeats at most the
    // one message on the wire, and that one is known and keeps its Message-ID.
    m_component.setDeliveryHooks({[this](quint64 id) { onFinalSending(id); },
                                  [this](quint64 id) { onAccepted(id); }});
}

void Dispatcher::restore(const std::vector<QueueJournal::Entry> &entries)
{
    QHash<std::uint64_t, int> slotOfId;
    const QueuedEmailArray &queue = m_queue.emailQueue();
    for (int slot = 0; slot <= queue.upperBound(); ++slot)
        if (queue.isPending(slot))
            slotOfId.insert(queue.at(slot).Id, slot);
    m_book.restore(entries, [&slotOfId](std::uint64_t id) { return slotOfId.value(id, -1); });
}

qint64 Dispatcher::nowMs() const
{
    return m_clock().toMSecsSinceEpoch();
}

bool Dispatcher::isDue(int slot) const
{
    const QueuedEmailArray &entries = m_queue.emailQueue();
    if (!entries.isPending(slot))
        return false;
    const QueuedEmail &entry = entries.at(slot);
    if (const Delivery *delivery = m_book.holding(entry.Id))
        return DeliveryBook::isDue(*delivery, [this] { return nowMs(); });
    return !m_digests.enabled() || !m_digests.holds(entry);
}

void Dispatcher::reportDigestWaiting()
{
    if (const int waiting = m_digests.waiting(); waiting != m_reportedWaiting) {
        m_reportedWaiting = waiting;
        emit digestWaitingChanged(waiting);
    }
}

int Dispatcher::slotOf(std::uint64_t id) const
{
    const Delivery *delivery = m_book.find(id);
    return delivery ? delivery->slot : -1;
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

bool Dispatcher::isPassRunning() const
{
    return m_passRunning;
}

void Dispatcher::onTick()
{
    // A pass that is still waiting for a send owns the queue walk; starting
    // another one here would hand the same pending entry to the component twice.
    if (m_stopped)
        return;
    reportDigestWaiting();
    if (m_passRunning)
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
    for (const std::uint64_t id : m_component.withdraw(m_sending)) {
        if (Delivery *delivery = m_book.find(id))
            delivery->inFlight = false;
        m_linedUp.erase(std::remove(m_linedUp.begin(), m_linedUp.end(), id), m_linedUp.end());
    }
}

Delivery &Dispatcher::deliveryFor(int slot)
{
    const std::uint64_t id = m_queue.emailQueue().at(slot).Id;
    if (m_digests.enabled() && m_book.isFree(id)) {
        Delivery &digest = m_digests.gather(slot);
        digest.slot = slot;
        return digest;
    }
    Delivery *held = m_book.holding(id);
    Delivery &delivery = held ? *held : m_book.open(id, slot);
    delivery.slot = slot;
    return delivery;
}

const QString &Dispatcher::subjectOf(const Delivery &delivery) const
{
    return delivery.isDigest() ? delivery.subject : m_queue.emailQueue().at(delivery.slot).Subject;
}

// Fills the component from the account settings and the entry (or the
// digest) and hands the message over by its id.
bool Dispatcher::submit(Delivery &delivery)
{
    QueuedEmail entry = m_queue.emailQueue().at(delivery.entries.front().slot);
    if (delivery.isDigest()) {
        if (delivery.subject.isEmpty())
            m_digests.remake(delivery);
        entry.Subject = delivery.subject;
        entry.Body = delivery.body;
    }
    MailProperties properties = messageProperties(m_settings, entry, m_component.properties());
    if (delivery.messageId.isEmpty())
        delivery.messageId = m_component.newMessageId(properties);
    properties.messageId = delivery.messageId;
    setOAuth(properties);
    // A delivery hook may come from inside the call: the record is ready.
    delivery.inFlight = true;
    delivery.shown = delivery.accepted = false;
    if (!m_component.submit(delivery.id, properties)) {
        delivery.inFlight = false;
        return false;
    }
    if (m_settings.AccountSettings.MaxPerMinute > 0)
        m_recentStarts.push_back(nowMs());
    return true;
}

// The attempt becomes the one the operator sees: the status list cleared, its
// "Send email:" line written.
void Dispatcher::show(Delivery &delivery, bool clearStatus)
{
    const qint64 now = nowMs();
    if (delivery.firstAttemptMs == 0)
        delivery.firstAttemptMs = now;
    if (clearStatus)
        emit statusCleared();
    m_log.WriteLog(QStringLiteral("Send email:") + subjectOf(delivery));
    if (delivery.isDigest()) {
        std::vector<qint64> queuedAt;
        for (const Delivery::Entry &entry : delivery.entries)
            queuedAt.push_back(m_queue.emailQueue().at(entry.slot).QueuedAtMs);
        m_log.WriteLog(digestLogLine(queuedAt, m_clock().timeZone()));
    }
    if (delivery.repeat == Delivery::Repeat::AfterRestart)
        m_log.WriteLog(QStringLiteral("Sent again after a restart: it may arrive twice"));
    else if (delivery.repeat == Delivery::Repeat::SameMessageId)
        m_log.WriteLog(QStringLiteral("Sent again with the same Message-ID: it may arrive twice"));
    delivery.shown = true;
    // Accepted before its line was written: it leaves the journal only now,
    // so the log never misses a delivered message.
    if (delivery.accepted)
        journalFreed(delivery);
}

void Dispatcher::journalSending(const Delivery &delivery)
{
    if (!m_journal)
        return;
    const QueueJournal::Batch batch(*m_journal); // a digest's records in one write
    for (const Delivery::Entry &entry : delivery.entries)
        m_journal->recordSending(entry.id, delivery.messageId);
}

void Dispatcher::journalFreed(const Delivery &delivery)
{
    if (!m_journal)
        return;
    const QueueJournal::Batch batch(*m_journal);
    for (const Delivery::Entry &entry : delivery.entries)
        m_journal->recordFreed(entry.id);
}

void Dispatcher::sendFrom()
{
    while (!m_stopped && m_index <= m_bound) {
        const int slot = m_index;
        if (!isDue(slot)) {
            ++m_index;
            continue;
        }
        if (!mayStartNow())
            break; // a later tick goes on
        // The send starts before its list is cleared and its first log line
        // written: none of its events can come before we return to the event
        // loop, so the operator and the log still see them first, while the
        // message is already on its way.
        Delivery &delivery = deliveryFor(slot);
        const bool started = submit(delivery);
        show(delivery, true);
        if (started) {
            m_sending = delivery.id;
            lineUpMore();
            return; // onFinished picks the walk up again
        }
        // The component is full of sends that are not ours: this one ends as a
        // send that returned, and is freed.
        release(delivery);
        ++m_index;
    }
    endPass();
}

void Dispatcher::lineUpMore()
{
    if (m_stopped || !m_passRunning || m_sending == 0)
        return;
    for (int slot = slotOf(m_linedUp.empty() ? m_sending : m_linedUp.back()) + 1; slot <= m_bound; ++slot) {
        if (!isDue(slot))
            continue;
        if (!mayStartNow())
            return;
        Delivery &delivery = deliveryFor(slot);
        if (!submit(delivery))
            return; // as many as the component takes
        m_linedUp.push_back(delivery.id);
    }
}

void Dispatcher::onFinalSending(std::uint64_t id)
{
    if (const Delivery *delivery = m_book.find(id); delivery && delivery->inFlight)
        journalSending(*delivery);
}

void Dispatcher::onAccepted(std::uint64_t id)
{
    Delivery *delivery = m_book.find(id);
    if (!delivery || !delivery->inFlight)
        return;
    delivery->accepted = true;
    if (delivery->shown)
        journalFreed(*delivery);
}

void Dispatcher::onFinished(std::uint64_t id, const MailOutcome &outcome)
{
    Delivery *delivery = m_book.find(id);
    if (!delivery || !delivery->inFlight)
        return; // not one of ours
    delivery->inFlight = false;
    emit alarmsSettled(int(delivery->entries.size()));
    const RetryRule::Decision decision = RetryRule::classify(outcome);
    // The ones lined up behind it would meet the same server.
    if (decision.verdict == RetryRule::Verdict::Deferred && decision.serverWide && !m_stopped
        && m_settings.AccountSettings.RetryHours > 0)
        takeBackLinedUp();
    const int slot = delivery->slot;
    const bool running = id == m_sending;
    if (!running) {
        // Ahead of its turn (the one before it went back for a new sign-in
        // token, or the close cancelled it): it is still named in the log.
        m_linedUp.erase(std::remove(m_linedUp.begin(), m_linedUp.end(), id), m_linedUp.end());
        if (!delivery->shown)
            show(*delivery, false);
    }
    if (!dissolveIfTooLarge(*delivery, outcome))
        settle(*delivery, outcome, decision);
    if (running) {
        m_sending = 0;
        goOn(slot);
    }
}

// The running send has ended: the next lined-up one takes its place, or the
// walk goes on behind it.
void Dispatcher::goOn(int finishedSlot)
{
    if (!m_passRunning)
        return;
    if (!m_linedUp.empty()) {
        // Already on its way (also when the close came too late to take it
        // back): it becomes the running send, shown and logged as every send.
        m_sending = m_linedUp.front();
        m_linedUp.pop_front();
        Delivery &next = *m_book.find(m_sending);
        m_index = next.slot;
        show(next, true);
        lineUpMore();
        return;
    }
    m_index = finishedSlot + 1;
    if (m_stopped)
        endPass();
    else
        sendFrom();
}

void Dispatcher::endPass()
{
    reportDigestWaiting();
    m_passRunning = false;
    m_sending = 0;
    m_linedUp.clear();
    emit passFinished();
}

void Dispatcher::settle(Delivery &delivery, const MailOutcome &outcome, const RetryRule::Decision &decision)
{
    if (decision.verdict == RetryRule::Verdict::Accepted)
        m_serverFailures = 0;
    delivery.lastOutcome = outcome;
    const bool retry = decision.verdict == RetryRule::Verdict::Deferred && m_settings.AccountSettings.RetryHours > 0;
    if (retry && m_stopped)
        return; // cut short by the close: it stays pending, and goes first after the start
    if (!retry || !defer(delivery, decision))
        release(delivery);
    if (const int deferred = m_book.deferredCount(); deferred != m_reportedDeferred) {
        m_reportedDeferred = deferred;
        emit deferredCountChanged(deferred);
    }
}

void Dispatcher::release(const Delivery &delivery)
{
    const NotificationQueue::Batch batch(m_queue); // a digest's freed records in one write
    for (const Delivery::Entry &entry : delivery.entries)
        m_queue.release(entry.slot);
    m_book.close(delivery.id);
}

bool Dispatcher::dissolveIfTooLarge(Delivery &delivery, const MailOutcome &outcome)
{
    if (m_stopped || !m_digests.tooLarge(delivery, outcome))
        return false;
    const QString line = QStringLiteral("Deferred:%1 is larger than the server takes (%2); its %3 alarms go again "
                                        "in smaller digests")
                             .arg(delivery.subject, lastReply(outcome))
                             .arg(delivery.entries.size());
    m_log.WriteLog(line);
    emit statusLine(line);
    emit sendDeferred();
    m_digests.reopen(delivery);
    m_book.close(delivery.id); // its entries are free again
    return true;
}

bool Dispatcher::defer(Delivery &delivery, const RetryRule::Decision &decision)
{
    const MailOutcome &outcome = *delivery.lastOutcome;
    const QString subject = subjectOf(delivery);
    const int attempts = delivery.attempts + 1;
    const qint64 now = nowMs();
    const std::optional<qint64> next =
        RetryRule::nextTryMs(delivery.firstAttemptMs, attempts, now, m_settings.AccountSettings.RetryHours);
    if (!next) {
        const QString line = QStringLiteral("Given up:%1 after %2 attempts; last reply: %3")
                                 .arg(subject)
                                 .arg(attempts)
                                 .arg(lastReply(outcome));
        m_log.WriteLog(line);
        emit statusLine(line);
        return false;
    }
    qint64 nextTry = *next;
    if (decision.serverWide) {
        // Every message to this server waits; the back-off grows while the
        // condition lasts, whichever message meets it.
        ++m_serverFailures;
        const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(RetryRule::delayAfter(m_serverFailures));
        nextTry = std::max(nextTry, now + pause.count());
        m_pausedUntilMs = std::max(m_pausedUntilMs, nextTry);
    }
    // Its Message-ID is kept whatever happens; the log says so before the
    // next try once a copy may have arrived.
    if (decision.mayHaveArrived || delivery.repeat != Delivery::Repeat::No)
        delivery.repeat = Delivery::Repeat::SameMessageId;
    m_book.defer(delivery, nextTry);
    if (m_journal) {
        const QueueJournal::Batch batch(*m_journal);
        for (const Delivery::Entry &entry : delivery.entries)
            m_journal->recordDeferred(entry.id, delivery.firstAttemptMs, delivery.attempts);
    }
    const QString at = QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(nextTry, m_clock().timeZone()),
                                             QStringLiteral("HH:mm:ss"));
    const QString line = QStringLiteral("Deferred:%1 (attempt %2%3): %4; next try at %5")
                             .arg(subject)
                             .arg(delivery.attempts)
                             .arg(decision.serverWide ? QStringLiteral(", every message waits") : QString())
                             .arg(lastReply(outcome))
                             .arg(at);
    m_log.WriteLog(line);
    emit statusLine(line);
    if (decision.mayHaveArrived) {
        const QString twice = QStringLiteral("Deferred:%1 went out without a reply to its end of data; it goes again "
                                             "with the same Message-ID and may arrive twice")
                                  .arg(subject);
        m_log.WriteLog(twice);
        emit statusLine(twice);
    }
    emit progressText(QStringLiteral("Next try %1").arg(at));
    emit sendDeferred();
    return true;
}

// [Email_OAuth] as the mail component takes it.
void Dispatcher::setOAuth(MailProperties &properties) const
{
    const OAuthSignIn signIn = oauthSignInFrom(m_settings, m_tokens);
    properties.signIn = signIn.name;
    properties.signInProblem = signIn.problem;
}

} // namespace corvane
