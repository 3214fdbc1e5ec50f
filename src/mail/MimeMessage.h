#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace corvane {

// The text of one message as it goes after DATA: headers and a quoted-printable
// UTF-8 body, every line ending in CR LF. Dot-stuffing is left to libcurl.
struct MimeMessage {
    QString senderName;
    QString senderAddress;
    QStringList recipients;  // envelope-checked addresses, for the To header
    QString subject;
    QString body;
    bool html = false;
    int priority = 0;        // 1..5; anything else: no priority headers
    bool returnReceipt = false;
    QDateTime date;
    QString messageIdDomain; // right-hand side of Message-ID
    QByteArray messageId;    // "<...>"; empty: a new one

    QByteArray build() const;

    // "<unique@domain>"; unique across processes and calls.
    static QByteArray newMessageId(const QString &domain);
    // "<left@right>" of printable ASCII without spaces, short enough for a
    // header line: what may be used again as given.
    static bool isMessageId(const QByteArray &id);
    // A domain for Message-ID: the sender's, else the fallback.
    static QString idDomain(const QString &senderAddress, const QString &fallback);
};

} // namespace corvane
