// How the session ended: RSET and QUIT after the probe, or the connection
// dropped after a failure.

#include "check/CheckContext.h"
#include "check/CheckStages.h"
#include "check/StageVerdict.h"

namespace corvane {

bool checkClose(const CheckContext &c, StageVerdict &v)
{
    const SmtpProbe::Trace &trace = c.trace;
    const SmtpProbe::Step *reset = c.sessionRan ? trace.find(SmtpStep::Reset) : nullptr;
    const SmtpProbe::Step *quit = c.sessionRan ? trace.find(SmtpStep::Quit) : nullptr;
    if (!reset && !quit) {
        // After a failure the client drops the connection at once, as it does
        // when the service sends.
        return v.skip(!c.sessionRan ? QStringLiteral("not tried")
                      : trace.socketError == QAbstractSocket::RemoteHostClosedError
                      ? QStringLiteral("the connection is already closed")
                      : QStringLiteral("the connection was dropped after the failure, without QUIT"));
    }
    QStringList answers;
    bool ok = true;
    if (reset) {
        v.reachedAt(reset->at);
        answers << QStringLiteral("RSET: %1").arg(reset->reply.text());
        ok = reset->reply.ok();
    }
    if (quit) {
        v.reachedAt(quit->at);
        answers << QStringLiteral("QUIT: %1").arg(quit->reply.text());
        ok = ok && quit->reply.ok();
    } else {
        v.reachedAt(trace.closedAt);
        answers << QStringLiteral("QUIT: no answer before the connection closed");
        ok = false;
    }
    v.result.summary = answers.join(QStringLiteral(", "));
    if (!ok) {
        return v.fail(v.result.summary,
                      QStringLiteral("The server did not end the session properly; mail may still go through, but "
                                     "watch the log after the next message."));
    }
    return v.pass();
}

} // namespace corvane
