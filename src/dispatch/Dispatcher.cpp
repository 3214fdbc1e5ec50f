#include "dispatch/Dispatcher.h"

#include "mail/MailComponent.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"
#include "storage/Settings.h"

namespace corvane {

Dispatcher::Dispatcher(NotificationQueue &queue, const Settings &settings,
                       MailComponent &component, const ActivityLog &log, QObject *parent)
    : QObject(parent)
    , m_queue(queue)
    , m_settings(settings)
    , m_component(component)
    , m_log(log)
{
    connect(&m_component, &MailComponent::finished, this, &Dispatcher::onSendFinished);
    // What the server took leaves the journal the moment that is known, before
    // the next message's end of data goes out: a crash then repeats at most the
    // one message on the wire, and that one is known and keeps its Message-ID.
    m_component.setDeliveryHooks({[this](quint64 send, const QByteArray &messageId) { onFinalSending(send, messageId); },
                                  [this](quint64 send) { onAccepted(send); }});
}

void Dispatcher::onFinalSending(quint64 send, const QByteArray &messageId)
{
    if (const auto it = m_slotOfSend.find(send); it != m_slotOfSend.end())
        m_queue.markSending(it->second, messageId);
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
    return started;
}

void Dispatcher::logSendEmail(int index)
{
    m_log.WriteLog(QStringLiteral("Send email:") + m_queue.emailQueue().at(index).Subject);
    if (m_queue.sentBeforeRestart(index))
        m_log.WriteLog(QStringLiteral("Sent again after a restart: it may arrive twice"));
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
    const QueuedEmailArray &entries = m_queue.emailQueue();
    while (!m_stopped && m_index <= m_bound) {
        const int index = m_index;
        if (!entries.isPending(index)) {
            ++m_index;
            continue;
        }
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
        // attempt has ended, so the slot is freed and the message not retried.
        m_queue.release(index);
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
    if (!m_passRunning || m_sending < 0)
        return;
    m_queue.release(m_sending);
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
    const QueuedEmailArray &entries = m_queue.emailQueue();
    int index = (m_linedUp.empty() ? m_sending : m_linedUp.back()) + 1;
    for (; index <= m_bound; ++index) {
        if (!entries.isPending(index))
            continue;
        fillComponent(index);
        if (!startSend(index, false))
            return; // as many as the component takes
        m_linedUp.push_back(index);
    }
}

void Dispatcher::endPass()
{
    m_acceptedUnlogged.clear();
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
    mail.setMessageId(m_queue.sentBeforeRestart(index).value_or(QByteArray()));
}

} // namespace corvane
