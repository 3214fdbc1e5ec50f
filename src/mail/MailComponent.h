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

// The mail component: the properties of the contract, one send operation and
// the four events, over the one SMTP client (and the POP3 login before it),
// driven by the event loop of the thread that owns it. Properties keep their
// values from one message to the next.
//
// Each message has one road: submit(id, ...) with the caller's own id, built
// when its turn comes, a POP3 login or a sign-in token where the account needs
// one, then the session, whose list is the only one of the messages in flight
// (of those the component keeps only what a second try with a new sign-in
// token needs); the delivery hooks and `finished` name the message by the
// same id. The four events and
// `finished` arrive through the event loop, never from inside a call, in the
// order they happened and all of one message before any of the next (the
// session keeps that order, and the component speaks for a message itself only
// once the session has finished every message before it); after `finished`
// nothing more of that message arrives.
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

    // The send operation: message `id`, the caller's own (its events, hooks
    // and `finished` carry it back), goes with `properties`, which become the
    // current ones as if each had been set. Returns at once. Behind messages
    // not yet finished it goes right after them (on the same connection, in
    // the same write where the server allows it). At most MaxAhead wait behind
    // the oldest: then it returns false and nothing changes.
    bool submit(quint64 id, const MailProperties &properties);
    static constexpr int MaxAhead = 8;
    // Takes back every message of which nothing went to a server yet, except
    // `keep` (the one the caller shows as being sent); they report nothing.
    // Returns their ids.
    std::vector<quint64> withdraw(quint64 keep);
    bool isSending() const { return m_unfinished > 0; }
    // The largest message the server last said it takes (SIZE in its EHLO):
    // -1 until one has said, 0 for no limit. Callers that put messages
    // together size them by it.
    qint64 serverSizeLimit() const { return m_serverSizeLimit; }

    // Ends every message at once, in any step, a name lookup included; each
    // reports SendFailed and `finished`. The connection is cut, not closed
    // with QUIT.
    void cancel();
    // The same for a program that closes, but the connection (a kept one
    // too) ends with QUIT and TLS's close where it is in step, within the
    // polite close's limit. `closed` follows once every message has reported
    // and the socket is closed.
    void close();
    bool isClosed() const { return m_closing && m_unfinished == 0 && m_session.isDisconnected(); }

    // A new Message-ID for a message with these properties: the caller fixes
    // it at the first attempt and hands it in again (setMessageId) with every
    // later one.
    QByteArray newMessageId(const MailProperties &properties) const;

    // Called at once from the component's network handling (also from inside
    // submit()), before anything more goes to the server: just before message
    // `id`'s final "." is written, and when the server has accepted it, long
    // before its events arrive. What the caller records there survives a
    // crash; a hook must not call back into the component.
    struct DeliveryHooks {
        std::function<void(quint64 id)> finalSending;
        std::function<void(quint64 id)> accepted;
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
    // The message's last word: what became of it, right after its
    // SendSuccesful or SendFailed.
    void finished(quint64 id, const corvane::MailOutcome &outcome);
    // After close(): every message has reported and the connection is closed.
    void closed();

private:
    struct Event {
        enum Kind { Progress, Status, Succeeded, Failed, Finished } kind;
        int percent = 0;
        QString text;
        quint64 id = 0;                                  // for Finished
        std::shared_ptr<const MailOutcome> outcome = {}; // for Finished
    };

    // A message not yet with the session: made ready (the message built) only
    // when its turn comes, so a line-up costs the caller nothing.
    struct Waiting {
        quint64 id;
        MailProperties properties;
        bool prepared = false;
        MailRequest request;
        bool again = false; // back from the session for a new sign-in token
    };

    void scheduleFeed();
    void feedSession();
    void prepare(Waiting &waiting);
    void fail(quint64 id, const QString &reason, MailPhase phase = MailPhase::Setup);
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
    void sessionDisconnected() override;
    void endAll(bool polite);
    void reportIfClosed();
    void sessionStep(SmtpStep step, const SmtpReply &reply) override;

    MailOptions m_options;
    CaFileCache m_authorities;
    SmtpSession m_session;
    Pop3Client m_pop;
    MailProperties m_properties;
    EventScope m_eventScope;
    DeliveryHooks m_hooks;
    bool m_startupOption = false;
    qint64 m_serverSizeLimit = -1;
    int m_unfinished = 0;          // submitted, `finished` not yet emitted
    int m_withSession = 0;         // handed to the session, not yet finished by it
    std::deque<Waiting> m_waiting; // not yet with the session, in order
    bool m_feedPosted = false;
    bool m_popRunning = false;     // for the front of m_waiting
    quint64 m_tokenRequest = 0;    // the token the front of m_waiting waits for; 0: none
    // Signed in with a token and with the session: what a second try with a
    // new token needs, should the server refuse this one.
    std::map<quint64, MailRequest> m_withToken;
    std::deque<Event> m_events;
    bool m_drainPosted = false;
    bool m_closing = false;
    bool m_closedPosted = false;
};

} // namespace corvane

Q_DECLARE_METATYPE(corvane::MailOutcome)
