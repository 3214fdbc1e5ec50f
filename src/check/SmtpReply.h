#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

// One server reply: the three-digit code and the text of every line.
struct SmtpReply {
    int code = 0;         // 0: no complete reply (connection closed or timed out)
    QStringList lines;    // the text after "250-" / "250 " of each line
    QString failure;      // why there is no reply, in plain words

    bool ok() const { return code >= 200 && code < 400; }
    bool received() const { return code != 0; }
    // "550 5.1.1 User unknown" on one line, for a verdict.
    QString text() const;
};

} // namespace corvane
