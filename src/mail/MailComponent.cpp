#include "mail/MailComponent.h"

#include "mail/MailEventSink.h"
#include "mail/MailSender.h"

#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <new>
#include <mutex>
#include <thread>

namespace corvane {

// The worker thread and its hand-over. Events go into one queue that the
// component's thread drains in order. The worker wakes that thread only when it
// has to wait for the network a moment, and at the end of a send: a send to a
// quick server costs one wake-up instead of one per event, and an operator
// still sees each step of a slow one within milliseconds.
// `finished` is queued last, after the sender has let go of the message.
class MailComponent::Worker final : public MailEventSink {
public:
    Worker(MailComponent &owner, MailTimeouts timeouts, MailOptions options)
        : m_owner(owner), m_sender(timeouts, std::move(options))
    {
        m_sender.setQuietHook(
            [this] {
                std::lock_guard<std::mutex> lock(m_eventMutex);
                return !m_events.empty() && !m_drainPosted;
            },
            [this] { flush(); });
        m_thread = std::thread([this] { run(); }); // once everything it uses exists
    }

    ~Worker() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cancel = true;
        m_sender.interrupt();
        m_wakeUp.notify_all();
        m_thread.join();
    }

    void submit(MailProperties properties)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_jobs.push_back({++m_submitted, std::move(properties)});
        }
        m_wakeUp.notify_all();
    }

    // Takes back up to `atMost` of the newest sends the worker has not begun.
    int withdraw(int atMost)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int taken = 0;
        for (; taken < atMost && !m_jobs.empty(); ++taken)
            m_jobs.pop_back();
        return taken;
    }

    // Ends every send handed over so far, the running one and any the worker
    // has not begun; each still reports its failure.
    void cancel()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cancelUpTo = m_submitted;
            m_cancel = true;
        }
        m_sender.interrupt();
    }

    // On the component's thread: hands on at once what the send has reported
    // so far, for a caller that cannot wait for the event loop any more.
    void deliverPending() { drain(); }

    void progress(int percent) override { queue({Event::Progress, percent, {}}); }
    void status(const QString &line) override { queue({Event::Status, 0, line}); }
    void succeeded() override
    {
        m_outcomeReported = true;
        queue({Event::Succeeded, 0, {}});
    }
    void failed(const QString &explanation) override
    {
        m_outcomeReported = true;
        queue({Event::Failed, 0, explanation});
    }

private:
    struct Event {
        enum Kind { Progress, Status, Succeeded, Failed, Finished } kind;
        int percent;
        QString text;
    };

    void queue(Event event)
    {
        // The end of a send is handed on at once unless more sends are lined up
        // behind it: in a burst one wake-up of the component's thread then
        // serves several messages, and it still comes while enough are lined
        // up for the worker to go on meanwhile.
        bool now = event.kind == Event::Finished && waitingJobs() <= MaxAhead / 2;
        {
            std::lock_guard<std::mutex> lock(m_eventMutex);
            if (m_events.empty())
                m_oldestWaiting = std::chrono::steady_clock::now();
            // A transfer that keeps libcurl busy without a pause must not hold
            // its reports back either: the operator sees them within this.
            else if (std::chrono::steady_clock::now() - m_oldestWaiting >= MaxHoldBack)
                now = true;
            m_events.push_back(std::move(event));
        }
        if (now)
            flush();
    }

    void flush()
    {
        {
            std::lock_guard<std::mutex> lock(m_eventMutex);
            if (m_drainPosted || m_events.empty())
                return;
            m_drainPosted = true;
        }
        QMetaObject::invokeMethod(&m_owner, [this] { drain(); }, Qt::QueuedConnection);
    }

    std::size_t waitingJobs()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_jobs.size();
    }

    // On the component's thread.
    void drain()
    {
        // A copy: a slot may delete the component and the scope with it.
        const EventScope scope = m_owner.m_eventScope;
        if (scope)
            scope([this] { drainEvents(); });
        else
            drainEvents();
    }

    // Takes one event at a time, so a slot that runs a nested event loop still
    // sees the rest in order.
    void drainEvents()
    {
        // A slot may delete the component (and this worker with it).
        const QPointer<MailComponent> alive(&m_owner);
        for (;;) {
            if (!alive)
                return;
            Event event;
            {
                std::lock_guard<std::mutex> lock(m_eventMutex);
                if (m_events.empty()) {
                    m_drainPosted = false;
                    return;
                }
                event = std::move(m_events.front());
                m_events.pop_front();
            }
            MailComponent &c = m_owner;
            switch (event.kind) {
            case Event::Progress: emit c.Progress(event.percent); break;
            case Event::Status: emit c.Status(event.text); break;
            case Event::Succeeded: emit c.SendSuccesful(); break;
            case Event::Failed: emit c.SendFailed(event.text); break;
            case Event::Finished:
                --c.m_outstanding;
                emit c.finished();
                break;
            }
        }
    }

    void run()
    {
        for (;;) {
            MailProperties job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wakeUp.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
                if (m_stop) {
                    m_sender.abandon();
                    return;
                }
                job = std::move(m_jobs.front().properties);
                m_cancel = m_jobs.front().number <= m_cancelUpTo;
                m_jobs.pop_front();
            }
            m_outcomeReported = false;
            // Nothing thrown in a send may end the thread, and with it every
            // later alarm: the send fails and the next one starts clean.
            try {
                m_sender.send(job, *this, [this] { return m_cancel.load(); });
            } catch (const std::bad_alloc &) {
                endAfterException(QStringLiteral("Sending failed: out of memory"));
            } catch (const std::exception &error) {
                endAfterException(QStringLiteral("Sending failed: an internal error (%1)")
                                      .arg(QString::fromLocal8Bit(error.what())));
            } catch (...) {
                endAfterException(QStringLiteral("Sending failed: an internal error"));
            }
            queue({Event::Finished, 0, {}});
        }
    }

    void endAfterException(const QString &reason)
    {
        m_sender.abandon(); // its connection is in a state nobody knows
        if (m_outcomeReported)
            return;
        status(reason);
        failed(reason);
    }

    static constexpr std::chrono::milliseconds MaxHoldBack{50};

    MailComponent &m_owner;
    MailSender m_sender;
    bool m_outcomeReported = false; // worker thread only
    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    struct Job {
        quint64 number;
        MailProperties properties;
    };
    std::deque<Job> m_jobs; // not begun yet: at most two
    quint64 m_submitted = 0;
    quint64 m_cancelUpTo = 0; // jobs numbered up to this one are cancelled
    bool m_stop = false;
    std::atomic<bool> m_cancel{false};
    std::mutex m_eventMutex;
    std::deque<Event> m_events;
    bool m_drainPosted = false;
    std::chrono::steady_clock::time_point m_oldestWaiting;
    std::thread m_thread;
};

MailComponent::MailComponent(MailTimeouts timeouts, QObject *parent)
    : MailComponent(timeouts, MailOptions{}, parent)
{
}

MailComponent::MailComponent(MailTimeouts timeouts, MailOptions options, QObject *parent)
    : QObject(parent), m_worker(std::make_unique<Worker>(*this, timeouts, std::move(options)))
{
}

MailComponent::~MailComponent()
{
    m_worker.reset(); // cancels and joins; events still queued die with this object
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

const MailProperties &MailComponent::properties() const
{
    return m_properties;
}

bool MailComponent::Send()
{
    if (m_outstanding > 0)
        return false;
    m_outstanding = 1;
    m_worker->submit(m_properties);
    return true;
}

bool MailComponent::SendNext()
{
    if (m_outstanding < 1 || m_outstanding > MaxAhead)
        return false;
    ++m_outstanding;
    m_worker->submit(m_properties);
    return true;
}

int MailComponent::withdrawWaiting()
{
    // The oldest outstanding send came through Send() and is never taken back.
    if (m_outstanding < 2)
        return 0;
    const int taken = m_worker->withdraw(m_outstanding - 1);
    m_outstanding -= taken;
    return taken;
}

bool MailComponent::isSending() const
{
    return m_outstanding > 0;
}

void MailComponent::cancel()
{
    if (m_outstanding == 0)
        return;
    withdrawWaiting();
    m_worker->cancel();
}

void MailComponent::setEventScope(EventScope scope)
{
    m_eventScope = std::move(scope);
}

void MailComponent::deliverPendingEvents()
{
    m_worker->deliverPending();
}

} // namespace corvane
