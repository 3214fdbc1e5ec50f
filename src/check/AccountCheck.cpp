#include "check/AccountCheck.h"

#include "check/CheckStages.h"
#include "check/StageVerdict.h"

#include <algorithm>

namespace corvane {

AccountCheck::AccountCheck(AccountCheckOptions options) : m_context(std::move(options)) {}

CheckReport AccountCheck::run()
{
    CheckContext &c = m_context;
    bool ready = stage(CheckStage::Settings, checkSettings) && stage(CheckStage::Server, checkServer)
        && stage(CheckStage::Token, checkToken);
    if (ready) {
        // Everything the service would send with is known now; nothing of it
        // needs the network.
        c.probe = CheckProbe::build(c.settings, c.options.list, c.signIn, c.bearerToken, c.caFiles);
        ready = stage(CheckStage::Pop3Login, checkPop3) && stage(CheckStage::Resolve, checkResolve)
            && stage(CheckStage::Connect, checkConnect);
    }
    if (!ready) {
        skipRest(CheckStage::Server, CheckStage::Close);
        return m_report;
    }
    // With implicit TLS the handshake comes before the greeting.
    const bool session = c.endpoint.tls == TlsMode::Implicit
        ? stage(CheckStage::Tls, checkTls) && stage(CheckStage::Greeting, checkGreeting)
        : stage(CheckStage::Greeting, checkGreeting) && stage(CheckStage::Tls, checkTls);
    if (session && stage(CheckStage::Login, checkLogin) && stage(CheckStage::Sender, checkSender))
        stage(CheckStage::Recipients, checkRecipients);
    // The session is over by now: the last stage says how it ended.
    skipRest(CheckStage::Greeting, CheckStage::Recipients);
    stage(CheckStage::Close, checkClose);
    return m_report;
}

// A stage before the session counts from its own start. The session's stages
// end when their last reply came: each counts from the end of the one before,
// and one that needed no reply takes no time.
template <typename Judge>
bool AccountCheck::stage(CheckStage stage, Judge judge)
{
    if (!m_context.sessionRan)
        m_stageStart = Clock::now();
    StageVerdict verdict(stage);
    const bool passed = judge(m_context, verdict);
    const Clock::time_point end =
        std::max(verdict.reached.value_or(m_context.sessionRan ? m_stageStart : Clock::now()), m_stageStart);
    verdict.result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(end - m_stageStart);
    m_stageStart = end;
    m_report.add(std::move(verdict.result));
    return passed;
}

void AccountCheck::skipRest(CheckStage from, CheckStage to)
{
    for (int s = static_cast<int>(from); s <= static_cast<int>(to); ++s) {
        const auto stage = static_cast<CheckStage>(s);
        if (m_report.find(stage))
            continue;
        CheckStageResult result;
        result.stage = stage;
        result.summary = QStringLiteral("not tried");
        m_report.add(std::move(result));
    }
}

} // namespace corvane
