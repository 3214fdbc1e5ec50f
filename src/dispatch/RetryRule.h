#pragma once

#include "mail/MailOutcome.h"

#include <QtGlobal>

#include <chrono>
#include <optional>

namespace corvane {

// What a send's outcome means for its message, and when a deferred one is
// tried again. A 4xx, or no answer at all, is the server saying "later"; a 5xx
// to the message itself is final. Pure: the dispatcher acts on the answers.
class RetryRule {
public:
    enum class Verdict {
        Accepted, // done
        Failed,   // final: retrying cannot help
        Deferred, // tried again later
    };

    struct Decision {
        Verdict verdict = Verdict::Failed;
        // The server or the account is the problem, not this message: every
        // send to it waits, not only this one.
        bool serverWide = false;
        // The end of data went out unanswered: the next try repeats the
        // Message-ID, and the message may arrive twice.
        bool mayHaveArrived = false;

        bool operator==(const Decision &other) const
        {
            return verdict == other.verdict && serverWide == other.serverWide
                && mayHaveArrived == other.mayHaveArrived;
        }
    };

    static Decision classify(const MailOutcome &outcome);

    // 421, 432, or an enhanced code 4.7.x or 4.3.2: the server wants fewer
    // messages, from every sender on this connection.
    static bool isThrottling(const MailOutcome &outcome);

    // The wait after the n-th deferred attempt (n >= 1): 10 s, 30 s, 1 min,
    // 2 min, 5 min, then every 5 min.
    static std::chrono::seconds delayAfter(int attempts);

    // When to try again after the n-th deferred attempt ended at nowMs, or
    // nothing when the message has been tried for retryHours since its first
    // attempt and is given up. All times are milliseconds since the epoch.
    static std::optional<qint64> nextTryMs(qint64 firstAttemptMs, int attempts, qint64 nowMs, int retryHours);
};

} // namespace corvane
