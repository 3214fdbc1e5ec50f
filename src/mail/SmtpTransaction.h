#pragma once

#include "mail/MailOutcome.h"
#include "mail/SmtpTypes.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <vector>

namespace corvane {

class SmtpConnection;

// What the server's EHLO lets a message's commands do before a reply comes.
// It is the session's, not the caller's: the same message goes out either way.
enum class SmtpFlow {
    OneAtATime, // every command waits for the reply to the one before
    Pipelined,  // MAIL, the RCPTs and DATA in one write; the body rides with the next envelope
    Chunked,    // PIPELINING and CHUNKING: MAIL, the RCPTs, BDAT LAST and the body in one write
};

// One message on its way through a session. Its progress is one Step, moved
// on by what it writes and by the replies to its commands; what it writes goes
// into the connection's next write.
class SmtpTransaction {
public:
    enum class Step {
        Queued,           // nothing of it on the current connection
        EnvelopeWritten,  // MAIL (and what the flow lets ride with it) written; nothing answered yet
        EnvelopeAnswered, // MAIL taken; the recipients are being answered
        Data,             // every recipient answered, some taken: DATA's 354 next (a probe's RSET)
        FinalSent,        // its final "." or BDAT LAST is in the write: the server may take it
        Done,             // its outcome is known; it waits to be reported after those before it
    };

    // A line said of it, kept while a message before it is still being reported.
    struct Held {
        enum Kind { Status, Progress } kind;
        QString line;
        int percent = 0;
    };

    SmtpTransaction(const SmtpAccount &account, const SmtpMessage &message);

    static SmtpFlow flowFor(const SmtpCapabilities &caps);

    quint64 id() const { return m_message.id; }
    const SmtpAccount &account() const { return m_account; }
    const QByteArray &key() const { return m_key; }
    const SmtpMessage &message() const { return m_message; }
    QString recipient(int index) const { return m_message.recipients.value(index); }
    Step step() const { return m_step; }
    bool inFlight() const { return m_step != Step::Queued && m_step != Step::Done; }

    // MAIL FROM and, as far as the flow lets it, the rest of the envelope.
    void begin(SmtpConnection &wire, SmtpFlow flow, const SmtpCapabilities &caps);
    void mailTaken(SmtpConnection &wire, SmtpFlow flow);
    // One recipient answered; false once all are and the server took none.
    bool recipientAnswered(const SmtpReply &reply, SmtpConnection &wire, SmtpFlow flow);
    // After DATA's 354: the body, dot-stuffed, and its end.
    void writeBody(SmtpConnection &wire);
    void finish(MailOutcome::Kind kind, MailPhase phase, const QString &explanation, const SmtpReply &reply,
                const QString &replyText);
    // Back to Queued for a new connection: the server took nothing of it.
    void requeue();

    MailOutcome outcome;
    std::vector<Held> held;
    int lastProgress = -1;
    std::optional<std::chrono::milliseconds> deadline; // of its whole attempt, on the session's clock
    bool resent = false; // moved once to a new connection after a kept one went silent

private:
    // What follows the recipients: DATA, BDAT LAST with the body, or for a
    // probe RSET. One at a time it waits for their replies; else it rides along.
    void closeEnvelope(SmtpConnection &wire, SmtpFlow flow);
    void reach(Step step);

    SmtpAccount m_account;
    QByteArray m_key;
    SmtpMessage m_message;
    Step m_step = Step::Queued;
    int m_answered = 0; // recipients answered
};

} // namespace corvane
