// Time of one activity log entry as a send command writes it (open, append,
// close), with the system clock and with a clock that costs nothing, so the
// share of the clock reading can be told apart.

#include "storage/ActivityLog.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace corvane;

namespace {

const QString kEntry = QStringLiteral("Address: ops@example.com; oncall@example.com\r\nSubject: Alarm\r\n"
                                      "Text: Pump 3 stopped\r\n");

void writeEntries(benchmark::State &state, const Clock &clock)
{
    QTemporaryDir dir;
    const ActivityLog log(dir.filePath(QStringLiteral("Logs")), clock);
    for (auto _ : state)
        log.WriteLog(kEntry);
    state.SetItemsProcessed(state.iterations());
}

void BM_WriteLog_SystemClock(benchmark::State &state)
{
    writeEntries(state, systemClock());
}

void BM_WriteLog_FixedClock(benchmark::State &state)
{
    const QDateTime moment = QDateTime::currentDateTime();
    writeEntries(state, [moment] { return moment; });
}

} // namespace

BENCHMARK(BM_WriteLog_SystemClock);
BENCHMARK(BM_WriteLog_FixedClock);
BENCHMARK_MAIN();
