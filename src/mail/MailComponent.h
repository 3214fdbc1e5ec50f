#pragma once

#include "mail/MailOptions.h"
#include "mail/MailProperties.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace corvane {

// Sends one message at a time over SMTP with libcurl on one long-lived worker
// thread. Properties keep their values from one message to the next. The four
// events and `finished` arrive on the thread that owns the component, in the
// order they happened; after `finished` no event of that send arrives.
class MailComponent : public QObject {
    Q_OBJECT
public:
    explicit MailComponent(MailTimeouts timeouts = {}, QObject *parent = nullptr);
    MailComponent(MailTimeouts timeouts, MailOptions options, QObject *parent = nullptr);
    ~MailComponent() override;

    void setStartupOption(bool value);
    void setFirstOption(int value);
    void setSecondOption(int value);
    void setAddressSeparator(const QString &value);
    void setSmtpHost(const QString &value);
    void setSenderAddress(const QString &value);
    void setSenderName(const QString &value);
    void setRecipients(const QString &value);
    void setFurtherText(int index, const QString &value); // index 0..6
    void setSubject(const QString &value);
    void setMessageText(const QString &value);
    void setHtml(bool value);
    void setEncodingType(int value);
    void setPriority(int value);
    void setReturnReceipt(bool value);
    void setServerLogin(bool value);
    void setPopLogin(bool value);
    void setUserName(const QString &value);
    void setPassword(const QString &value);
    void setPop3Host(const QString &value);
    void setThirdOption(int value);

    const MailProperties &properties() const;
    bool startupOption() const { return m_startupOption; }

    // Starts a send with a copy of the current properties and returns at once.
    // Returns false (and starts nothing) while a send is still running.
    bool Send();
    // While a send runs: lines up a copy of the current properties as a send
    // that starts the moment the ones before it have ended, so a burst does not
    // wait for this thread between two messages. Its events follow the `finished`
    // of the send before it. At most MaxAhead are lined up behind the oldest
    // outstanding send; returns false (and lines up nothing) when nothing runs
    // or that many are.
    bool SendNext();
    static constexpr int MaxAhead = 8;
    // Takes back the sends lined up by SendNext that the worker has not begun,
    // newest first; returns how many. They report nothing.
    int withdrawWaiting();
    bool isSending() const;

    // Ends the running attempt within a second, in any step of it, a name
    // lookup included; it reports SendFailed. Its connection is cut, not closed
    // with QUIT. Sends lined up by SendNext and not yet begun are taken back
    // and report nothing; one that has begun ends and fails too.
    void cancel();

    // Runs around each delivery of events to this thread, so that what their
    // slots do (log writes, say) can be gathered; `deliver` emits them.
    using EventScope = std::function<void(const std::function<void()> &deliver)>;
    void setEventScope(EventScope scope);

    // Emits at once, in order, the events the running send has reported so far
    // (normally they arrive through the event loop): for a close that cannot
    // wait any longer but must not lose the status lines.
    void deliverPendingEvents();

signals:
    void Progress(int PercentComplete);
    void Status(const QString &Status);
    void SendSuccesful();
    void SendFailed(const QString &Explanation);
    void finished();

private:
    class Worker;
    std::unique_ptr<Worker> m_worker;
    MailProperties m_properties;
    EventScope m_eventScope;
    bool m_startupOption = false;
    int m_outstanding = 0; // sends handed to the worker whose `finished` has not come
};

} // namespace corvane
