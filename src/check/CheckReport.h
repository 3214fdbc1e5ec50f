#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

namespace corvane {

// The stages of an account check, in the order they run. Each has an exit code
// of its own so that scripts can tell where a check stopped; the codes keep
// the numbers they were given first, whatever the place of a stage added later.
enum class CheckStage {
    Settings,
    Server,
    Token,
    Pop3Login,
    Resolve,
    Connect,
    Greeting,
    Tls,
    Login,
    Sender,
    Recipients,
    Close,
};

enum class CheckVerdict { Passed, Failed, Skipped };

struct CheckStageResult {
    CheckStage stage = CheckStage::Settings;
    CheckVerdict verdict = CheckVerdict::Skipped;
    std::chrono::milliseconds elapsed{0};
    QString summary;       // one line: what was found, or what went wrong
    QStringList details;   // further lines (addresses, capabilities, certificate)
    QString advice;        // one sentence for a failure
    QJsonObject data;      // the same facts for scripts
};

// The results of one check: text for people, JSON for scripts, an exit code.
class CheckReport {
public:
    static constexpr int UsageExitCode = 2;

    void add(CheckStageResult result);
    const std::vector<CheckStageResult> &stages() const { return m_stages; }
    const CheckStageResult *find(CheckStage stage) const;

    bool passed() const;
    // 0 when every stage passed or was skipped, else the code of the first failure.
    int exitCode() const;

    QString text() const;
    QJsonObject json() const;

    static QString name(CheckStage stage);   // "tls": JSON key
    static QString title(CheckStage stage);  // "TLS": for people
    static int exitCodeOf(CheckStage stage);
    // "  10  settings file ..." lines for --help.
    static QString exitCodeTable();

private:
    std::vector<CheckStageResult> m_stages;
};

} // namespace corvane
