#pragma once

#include "mail/CaFileCache.h"
#include "mail/MailOptions.h"
#include "mail/MailProperties.h"
#include "mail/MailRequest.h"
#include "mail/Pop3Client.h"
#include "mail/SmtpSession.h"
#include "mail/TokenProvider.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <map>
#include <vector>

namespace corvane {

// Sends messages over SMTP, and logs in to POP3 first when asked, driven by
// the event loop of the thread that owns it. Properties keep their values from
// one message to the next. The four events and `finished` arrive through that
// event loop, never from inside a call, in the order they happened and all of
// one send before any of the next; after `finished` no event of that send
// arrives.
class MailComponent : public QObject, private SmtpSessionListener {
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
    void setCaFile(const QString &value);
    void setMessageId(const QByteArray &value);
    // The OAuth sign-in: a name the TokenProvider gave (empty: none), or why
    // the settings cannot be used.
    void setSignIn(const QByteArray &signIn, const QString &problem = {});

    const MailProperties &properties() const;
    bool startupOption() const { return m_startupOption; }

    // Starts a send with a copy of the current properties and returns at once.
    // Returns false (and starts nothing) while a send is still running.
    bool Send();
    // While a send runs: lines up a copy of the current properties as a send
    // that goes out right behind the ones before it (on the same connection,
    // in the same write where the server allows it). Its events follow the
    // `finished` of the send before it. At most MaxAhead are lined up behind
    // the oldest outstanding send; returns false (and lines up nothing) when
    // nothing runs or that many are.
    bool SendNext();
    static constexpr int MaxAhead = 8;
    // Takes back the sends lined up by SendNext of which nothing went to a
    // server yet, newest first; returns how many. They report nothing.
    int withdrawWaiting();
    bool isSending() const;

    // Ends at once every send, in any step, a name lookup included; each
    // reports SendFailed. The connection is cut, not closed with QUIT. Sends
    // lined up by SendNext of which nothing went out are taken back and report
    // nothing.
    void cancel();

    // The number the next Send() or SendNext() gives its message, for the
    // delivery hooks below.
    quint64 nextSendNumber() const { return m_nextId + 1; }

    // Called at once from the component's network handling (also from inside
    // Send() or SendNext()), before anything more goes to the server: just
    // before a message's final "." is written, with its Message-ID, and when
    // the server has accepted it, long before its events arrive. What the
    // caller records there survives a crash; a hook must not call back into
    // the component.
    struct DeliveryHooks {
        std::function<void(quint64 send, const QByteArray &messageId)> finalSending;
        std::function<void(quint64 send)> accepted;
    };
    void setDeliveryHooks(DeliveryHooks hooks) { m_hooks = std::move(hooks); }

    // Runs around each delivery of events, so that what their slots do (log
    // writes, say) can be gathered; `deliver` emits them.
    using EventScope = std::function<void(const std::function<void()> &deliver)>;
    void setEventScope(EventScope scope);

    // Emits at once, in order, the events reported so far (normally they
    // arrive through the event loop): for a close that cannot wait any longer
    // but must not lose the status lines.
    void deliverPendingEvents();

signals:
    void Progress(int PercentComplete);
    void Status(const QString &Status);
    void SendSuccesful();
    void SendFailed(const QString &Explanation);
    // What became of the send, right before its `finished`.
    void sendOutcome(const MailOutcome &outcome);
    void finished();

private:
    struct Event {
        enum Kind { Progress, Status, Succeeded, Failed, Outcome, Finished } kind;
        int percent = 0;
        QString text;
        std::shared_ptr<const MailOutcome> outcome = {}; // for Outcome
    };

    struct Ticket {
        quint64 id;
        std::vector<Event> held; // while a send before it has not finished
        bool done = false;
        QByteArray messageId;
    };

    // A send handed over and not yet to the session: made ready (the message
    // built) only when its turn comes, so a line-up costs the caller nothing.
    struct Waiting {
        quint64 id;
        MailProperties properties;
        bool prepared = false;
        MailRequest request;
    };

    void submit(bool now);
    void prepare(Waiting &waiting);
    void feedSession();
    void failRequest(quint64 id, const QString &reason, MailPhase phase = MailPhase::Setup);
    void deliver(quint64 id, Event event);
    void onPopFinished(const Pop3Result &result);
    void onToken(quint64 request, const BearerToken &token);
    void onTokenFailed(quint64 request, const QString &problem);
    bool retryWithNewToken(quint64 id, const MailOutcome &outcome);
    void queue(Event event);
    void drain();
    void drainEvents();

    void sessionStatus(quint64 id, const QString &line) override;
    void sessionProgress(quint64 id, int percent) override;
    void sessionFinished(quint64 id, const MailOutcome &outcome) override;
    void sessionFinalSending(quint64 id) override;
    void sessionAccepted(quint64 id) override;

    MailOptions m_options;
    CaFileCache m_authorities;
    SmtpSession m_session;
    Pop3Client m_pop;
    MailProperties m_properties;
    EventScope m_eventScope;
    DeliveryHooks m_hooks;
    bool m_startupOption = false;
    std::deque<quint64> m_outstanding; // sends whose `finished` has not been emitted, oldest first
    quint64 m_nextId = 0;
    std::deque<Waiting> m_waiting;     // not yet handed to the session
    bool m_feedPosted = false;
    bool m_popRunning = false;
    quint64 m_tokenRequest = 0;          // the token the front of m_waiting waits for; 0: none
    std::map<quint64, MailRequest> m_signedIn; // with the session, signed in with a token
    std::deque<Ticket> m_tickets;      // every outstanding send, oldest first
    std::deque<Event> m_events;
    bool m_drainPosted = false;
};

} // namespace corvane
