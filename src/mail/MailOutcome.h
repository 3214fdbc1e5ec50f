#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

// Where in a session something happened: the connection, its security, the
// login, or one of the steps of the message itself.
enum class MailPhase { Setup, Connect, Tls, Auth, Mail, Rcpt, Data, EndOfData };

// What became of one message, as far as the server can have taken it. The
// dispatcher, the retry rule, the crash rule and the check all read this one
// type.
struct MailOutcome {
    enum class Kind {
        NotSent,      // nothing of the message reached the server (input refused, no connection, a close)
        Refused,      // a reply refused it: see code, enhancedCode and phase
        NoFinalReply, // the final "." (or BDAT LAST) went out and no reply came: it may have arrived
        Accepted,     // the server took it for at least one recipient
    };

    Kind kind = Kind::NotSent;
    MailPhase phase = MailPhase::Setup;
    int code = 0;          // the reply code that decided it, 0 if none
    QString enhancedCode;  // "5.1.1", empty if the server gave none
    QString reply;         // the reply text, cleaned for a status line
    QString explanation;   // in plain words, as SendFailed carries it
    int acceptedRecipients = 0;
    QStringList refusedRecipients;

    bool accepted() const { return kind == Kind::Accepted; }
    // The server can have taken it: a repeat of it may arrive twice.
    bool mayHaveBeenAccepted() const { return kind == Kind::Accepted || kind == Kind::NoFinalReply; }
    // A 4xx: the server itself said to try again later.
    bool transientReply() const { return code >= 400 && code < 500; }
};

} // namespace corvane
