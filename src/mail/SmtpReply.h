#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace corvane {

// One server reply (SMTP, also read by the account check): the three-digit code and the text of every line.
struct SmtpReply {
    int code = 0;         // 0: no complete reply (connection closed or timed out)
    QStringList lines;    // the text after "250-" / "250 " of each line
    QString failure;      // why there is no reply, in plain words
    QString enhanced;     // "5.1.1" (RFC 3463) when the first line starts with one of the reply's class

    bool ok() const { return code >= 200 && code < 400; }
    bool transient() const { return code >= 400 && code < 500; }
    bool permanent() const { return code >= 500; }
    bool received() const { return code != 0; }
    // "550 5.1.1 User unknown" on one line, for a verdict.
    QString text() const;

    // Takes one complete reply (all its lines) from the front of `buffer` and
    // returns true; false while the buffer does not hold one yet. A reply that
    // is not SMTP, or grows past what SMTP allows, also returns true, with code
    // 0 and the failure; the buffer is then of no further use.
    static bool take(QByteArray &buffer, SmtpReply *reply);
};

} // namespace corvane
