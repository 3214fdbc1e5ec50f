#pragma once

#include "check/CheckReport.h"
#include "check/SmtpProbe.h"

#include <QJsonObject>
#include <QLatin1String>
#include <QString>

#include <optional>

namespace corvane {

// Where the advice sends people to mend the account.
inline constexpr QLatin1String kAccountDialog{"Settings > Sending Email Account"};

// One stage's result while it is judged, and the moment the session reached
// for it: a stage of the session ends when the last reply it judged came.
struct StageVerdict {
    explicit StageVerdict(CheckStage stage) { result.stage = stage; }

    void reachedAt(SmtpProbe::Clock::time_point at) { reached = at; }
    void reachedAtEnd(const SmtpProbe::Trace &trace) { reached = trace.finishedAt; }
    bool pass();
    bool fail(const QString &summary, const QString &advice);
    // Nothing to check for this account (Login off, no provider): the check
    // goes on, and the stage shows as skipped with this summary.
    bool skip(const QString &summary);
    // Why the session ended where it did, to go on from a colon; the stage
    // that says so ends there too.
    QString sessionFailure(const SmtpProbe::Trace &trace);

    CheckStageResult result;
    std::optional<SmtpProbe::Clock::time_point> reached;
};

// The client's explanations are sentences of their own; a summary goes on
// from a colon.
QString lowerFirst(const QString &text);
void insertEnhanced(QJsonObject &data, const SmtpReply &reply);

} // namespace corvane
