#include "check/CheckReport.h"

#include <QJsonArray>

#include <algorithm>
#include <array>

namespace corvane {

namespace {

struct StageInfo {
    CheckStage stage;
    const char *name;
    const char *title;
    int exitCode;
    const char *meaning; // for the exit code table
};

// The exit codes start at 10 so that they never meet the shell's own (1, 2, 126..).
constexpr std::array<StageInfo, 12> kStages{{
    {CheckStage::Settings, "settings", "Settings file", 10, "the settings file cannot be read"},
    {CheckStage::Server, "server", "Server setting", 11, "the SMTP or POP3 server setting is empty or not valid"},
    {CheckStage::Token, "token", "OAuth token", 21,
     "no OAuth token with the [Email_OAuth] settings, or Login is off for them"},
    {CheckStage::Pop3Login, "pop3", "POP3 login", 12, "the POP3 login before sending failed"},
    {CheckStage::Resolve, "resolve", "Host name", 13, "the server's name cannot be resolved"},
    {CheckStage::Connect, "connect", "TCP connect", 14, "no connection to the server's port"},
    {CheckStage::Greeting, "greeting", "Greeting, EHLO", 15, "no SMTP greeting or EHLO refused"},
    {CheckStage::Tls, "tls", "TLS", 16, "TLS cannot be set up or the certificate is not trusted"},
    {CheckStage::Login, "login", "Login", 17, "the server refused the login (AUTH)"},
    {CheckStage::Sender, "sender", "Sender (MAIL FROM)", 18, "the sender address is missing or refused"},
    {CheckStage::Recipients, "recipients", "Recipients (RCPT TO)", 19,
     "no recipient to check, or the server refused one"},
    {CheckStage::Close, "close", "RSET, QUIT", 20, "the server did not end the session properly"},
}};

// infoOf() looks a stage up by its place.
constexpr bool inStageOrder()
{
    for (std::size_t i = 0; i < kStages.size(); ++i) {
        if (static_cast<std::size_t>(kStages[i].stage) != i)
            return false;
    }
    return true;
}
static_assert(inStageOrder(), "kStages must follow the order of CheckStage");

const StageInfo &infoOf(CheckStage stage)
{
    return kStages.at(static_cast<std::size_t>(stage));
}

QString verdictWord(CheckVerdict verdict)
{
    switch (verdict) {
    case CheckVerdict::Passed: return QStringLiteral("passed");
    case CheckVerdict::Failed: return QStringLiteral("failed");
    case CheckVerdict::Skipped: break;
    }
    return QStringLiteral("skipped");
}

QString verdictTag(CheckVerdict verdict)
{
    switch (verdict) {
    case CheckVerdict::Passed: return QStringLiteral("[ ok ]");
    case CheckVerdict::Failed: return QStringLiteral("[FAIL]");
    case CheckVerdict::Skipped: break;
    }
    return QStringLiteral("[skip]");
}

} // namespace

void CheckReport::add(CheckStageResult result)
{
    m_stages.push_back(std::move(result));
}

const CheckStageResult *CheckReport::find(CheckStage stage) const
{
    for (const CheckStageResult &result : m_stages) {
        if (result.stage == stage)
            return &result;
    }
    return nullptr;
}

bool CheckReport::passed() const
{
    return exitCode() == 0;
}

int CheckReport::exitCode() const
{
    for (const CheckStageResult &result : m_stages) {
        if (result.verdict == CheckVerdict::Failed)
            return exitCodeOf(result.stage);
    }
    return 0;
}

QString CheckReport::name(CheckStage stage)
{
    return QLatin1String(infoOf(stage).name);
}

QString CheckReport::title(CheckStage stage)
{
    return QLatin1String(infoOf(stage).title);
}

int CheckReport::exitCodeOf(CheckStage stage)
{
    return infoOf(stage).exitCode;
}

QString CheckReport::exitCodeTable()
{
    QString table = QStringLiteral("  0   every stage passed\n  %1   the command line is wrong\n")
                        .arg(UsageExitCode);
    // By number: a stage added later runs where it belongs but has the next free code.
    std::array<StageInfo, kStages.size()> byCode = kStages;
    std::sort(byCode.begin(), byCode.end(),
              [](const StageInfo &a, const StageInfo &b) { return a.exitCode < b.exitCode; });
    for (const StageInfo &info : byCode)
        table += QStringLiteral("  %1  %2\n").arg(info.exitCode).arg(QLatin1String(info.meaning));
    return table;
}

QString CheckReport::text() const
{
    QString out;
    const QString indent(6 + 1 + 7 + 2 + 22, QLatin1Char(' '));
    for (const CheckStageResult &result : m_stages) {
        out += QStringLiteral("%1 %2  %3%4\n")
                   .arg(verdictTag(result.verdict))
                   .arg(QStringLiteral("%1 ms").arg(result.elapsed.count()), 7)
                   .arg(title(result.stage), -22)
                   .arg(result.summary);
        for (const QString &detail : result.details)
            out += indent + detail + QLatin1Char('\n');
        if (result.verdict == CheckVerdict::Failed && !result.advice.isEmpty())
            out += indent + QStringLiteral("Advice: ") + result.advice + QLatin1Char('\n');
    }
    const int code = exitCode();
    if (code == 0) {
        out += QStringLiteral("Result: every stage passed.\n");
    } else {
        for (const CheckStageResult &result : m_stages) {
            if (result.verdict == CheckVerdict::Failed) {
                out += QStringLiteral("Result: failed at \"%1\" (exit code %2).\n").arg(title(result.stage)).arg(code);
                break;
            }
        }
    }
    return out;
}

QJsonObject CheckReport::json() const
{
    QJsonArray stages;
    for (const CheckStageResult &result : m_stages) {
        QJsonObject stage{
            {QStringLiteral("stage"), name(result.stage)},
            {QStringLiteral("title"), title(result.stage)},
            {QStringLiteral("verdict"), verdictWord(result.verdict)},
            {QStringLiteral("ms"), static_cast<qint64>(result.elapsed.count())},
            {QStringLiteral("summary"), result.summary},
            {QStringLiteral("details"), QJsonArray::fromStringList(result.details)},
        };
        if (result.verdict == CheckVerdict::Failed)
            stage.insert(QStringLiteral("advice"), result.advice);
        if (!result.data.isEmpty())
            stage.insert(QStringLiteral("data"), result.data);
        stages.append(stage);
    }
    return QJsonObject{
        {QStringLiteral("passed"), passed()},
        {QStringLiteral("exitCode"), exitCode()},
        {QStringLiteral("stages"), stages},
    };
}

} // namespace corvane
