#include "dispatch/RetryRule.h"

#include <algorithm>
#include <array>

namespace corvane {

namespace {

bool isMessageStep(MailPhase phase)
{
    return phase == MailPhase::Mail || phase == MailPhase::Rcpt || phase == MailPhase::Data
        || phase == MailPhase::EndOfData;
}

} // namespace

bool RetryRule::isThrottling(const MailOutcome &outcome)
{
    if (outcome.code == 421 || outcome.code == 432)
        return true;
    if (!outcome.transientReply())
        return false;
    return outcome.enhancedCode.startsWith(QLatin1String("4.7.")) || outcome.enhancedCode == QLatin1String("4.3.2");
}

RetryRule::Decision RetryRule::classify(const MailOutcome &outcome)
{
    using Kind = MailOutcome::Kind;
    switch (outcome.kind) {
    case Kind::Accepted:
        return {Verdict::Accepted, false, false};
    case Kind::NoFinalReply:
        // A lost alarm is worse than one that arrives twice.
        return {Verdict::Deferred, false, true};
    case Kind::NotSent:
        // Nothing reached the server. Before the message's own steps it is the
        // connection or the account (no server set, no route, TLS, a refused
        // sign-in): every message would meet it. The one message problem found
        // before the network is a message without a usable recipient, and an
        // internal error in building it; trying those again changes nothing.
        if (outcome.phase == MailPhase::Rcpt || outcome.phase == MailPhase::Data)
            return {Verdict::Failed, false, false};
        return {Verdict::Deferred, !isMessageStep(outcome.phase), false};
    case Kind::Refused:
        break;
    }
    if (isThrottling(outcome))
        return {Verdict::Deferred, true, false};
    if (!isMessageStep(outcome.phase))
        return {Verdict::Deferred, true, false}; // greeting, EHLO, STARTTLS, sign-in: fixed by the operator
    if (outcome.code >= 500 && outcome.code < 600)
        return {Verdict::Failed, false, false};
    return {Verdict::Deferred, false, false};
}

std::chrono::seconds RetryRule::delayAfter(int attempts)
{
    using std::chrono::seconds;
    static constexpr std::array<seconds, 5> steps{seconds(10), seconds(30), seconds(60), seconds(120), seconds(300)};
    if (attempts < 1)
        return steps.front();
    return steps[static_cast<std::size_t>(std::min<int>(attempts, int(steps.size())) - 1)];
}

std::optional<qint64> RetryRule::nextTryMs(qint64 firstAttemptMs, int attempts, qint64 nowMs, int retryHours)
{
    const qint64 limitMs = qint64(retryHours) * 3600 * 1000;
    if (retryHours <= 0 || nowMs - firstAttemptMs >= limitMs)
        return std::nullopt;
    return nowMs + std::chrono::duration_cast<std::chrono::milliseconds>(delayAfter(attempts)).count();
}

} // namespace corvane
