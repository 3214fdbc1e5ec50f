#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace corvane {

// Everything one send uses, in the order the dispatcher fills it. A send works
// on a copy taken when it starts, so the caller may change the properties for
// the next message at once.
struct MailProperties {
    int firstOption = 0;
    int secondOption = 0;
    QString addressSeparator;
    QString smtpHost;          // host, host:port, smtp://host[:port], smtps://host[:port]
    QString senderAddress;
    QString senderName;
    QString recipients;        // "; "-separated
    QStringList furtherTexts = QStringList(7, QString()); // stored, without meaning
    QString subject;
    QString messageText;
    bool html = false;
    int encodingType = 0;      // 0 MIME, 1 UUEncode (sent as plain text: there are no attachments)
    int priority = 0;          // 0 never set; 1 Highest, 3 Normal, 5 Lowest
    bool returnReceipt = false;
    bool serverLogin = false;
    bool popLogin = false;
    QString userName;
    QString password;
    QString pop3Host;
    int thirdOption = 0;
    // Certificate authorities (PEM) trusted besides the system's store; empty:
    // the component's own option, else the system's store alone.
    QString caFile;
    // The Message-ID, "<...>", for a message sent again: receiving systems can
    // then drop the copy. Empty: a new one.
    QByteArray messageId;
    // Set, with the server login on: the sign-in is OAuth, with a bearer token
    // the TokenProvider holds for this name, never the password.
    QByteArray signIn;
    QString signInProblem;     // set: the OAuth settings cannot be used, and why
};

} // namespace corvane
