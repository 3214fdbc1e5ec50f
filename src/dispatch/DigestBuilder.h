#pragma once

#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <vector>

namespace corvane {

// One alarm as a digest lists it: a queue entry's id, the time it was
// accepted, its subject and its text.
struct DigestAlarm {
    std::uint64_t id = 0;
    qint64 queuedAtMs = 0; // milliseconds since the epoch
    QString subject;
    QString text;
};

struct DigestFormat {
    static constexpr qint64 DefaultMaxBodyBytes = 1024 * 1024;
    // The largest body one e-mail may carry, counted as it goes to the server
    // (quoted-printable UTF-8). A longer digest is split, never cut.
    qint64 maxBodyBytes = DefaultMaxBodyBytes;
    // The account sends HTML bodies: alarm texts are HTML, and the digest's own
    // words are written as HTML around them.
    bool html = false;
    QTimeZone zone = QTimeZone::systemTimeZone(); // for the times shown
};

// One e-mail of a digest. A part that holds a single alarm is that alarm as
// it would go on its own: its subject and its text.
struct Digest {
    QString subject;
    QString body;
    std::vector<std::uint64_t> ids; // the alarms it carries, in the order accepted
    qint64 bodyBytes = 0;           // the body as it goes to the server
};

// The digests of `alarms`, all for one recipient list: every alarm in the order
// it was accepted (by id) with its time, subject and text; identical alarms
// (the same subject and text) folded into one entry with their count and first
// and last times, where the first of them stands. Split between entries into
// several e-mails when the body would pass format.maxBodyBytes. Pure.
std::vector<Digest> buildDigests(std::vector<DigestAlarm> alarms, const DigestFormat &format);

// "12 alarms: Pump 3 stopped (+11 more)", never longer than MaxDigestSubject
// characters: a long first subject is shortened, the count and the rest kept.
QString digestSubject(qsizetype alarms, const QString &firstSubject);
constexpr qsizetype MaxDigestSubject = 200;

// The activity log's line after a digest's "Send email:" line: "Digest of 3
// alarms queued at 10:41:02, 10:41:05, 10:41:09".
QString digestLogLine(const std::vector<qint64> &queuedAtMs, const QTimeZone &zone);

} // namespace corvane
