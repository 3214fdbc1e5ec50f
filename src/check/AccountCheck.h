#pragma once

#include "check/CheckContext.h"
#include "check/CheckReport.h"
#include "check/SmtpProbe.h"

namespace corvane {

struct StageVerdict;

// Walks the account in Corvane.ini through an SMTP session of the mail
// library's own client, the one the service sends with, and judges it stage
// by stage (CheckStages.h); the session stops before DATA: no message is ever
// sent. Needs an application object for the name lookup and the sockets, but
// no display.
class AccountCheck {
public:
    explicit AccountCheck(AccountCheckOptions options);

    CheckReport run();

private:
    using Clock = SmtpProbe::Clock;

    template <typename Judge>
    bool stage(CheckStage stage, Judge judge);
    void skipRest(CheckStage from, CheckStage to);

    CheckContext m_context;
    Clock::time_point m_stageStart; // the end of the stage before
    CheckReport m_report;
};

} // namespace corvane
