// Time of one QueueEmail with N messages pending (the new one included), against
// the plain scan from slot 0 that the lowest-free rule suggests.
//
// The free slot is the highest one, the worst case for a scan. Each iteration
// stores one message and frees its slot again, so every iteration sees the
// same queue.

#include "intake/CommandHandler.h"
#include "intake/NotificationQueue.h"
#include "storage/ActivityLog.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <optional>

#include <vector>

using namespace corvane;

namespace {

QueuedEmail sample()
{
    QueuedEmail e;
    e.Recipients = QStringLiteral("ops@example.com; oncall@example.com");
    e.Subject = QStringLiteral("Alarm");
    e.Body = QStringLiteral("Pump 3 stopped");
    return e;
}

// Fills the array until `pending - 1` entries are pending and the next store
// takes the highest slot in use.
template <typename Queue>
void fill(Queue &array, int pending)
{
    for (int i = 0; i < pending; ++i)
        array.store(sample());
    array.release(pending - 1);
}

// The slot search done the obvious way, over the same entries.
class LinearQueue {
public:
    explicit LinearQueue(int pending)
        : m_slots(static_cast<std::size_t>((pending + 98) / 100 * 100 + 1)) // as many slots as the real array
    {
        for (int i = 0; i < pending - 1; ++i)
            store(sample());
    }
    int store(QueuedEmail entry)
    {
        for (std::size_t i = 0; i < m_slots.size(); ++i) {
            if (m_slots[i].Pending == 0) {
                entry.Pending = -1;
                m_slots[i] = std::move(entry);
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    void release(int index) { m_slots[static_cast<std::size_t>(index)] = QueuedEmail{}; }

private:
    std::vector<QueuedEmail> m_slots;
};

void BM_StoreLowestFree(benchmark::State &state)
{
    const int pending = static_cast<int>(state.range(0));
    QueuedEmailArray array;
    fill(array, pending);
    for (auto _ : state) {
        const std::optional<int> slot = array.store(sample());
        benchmark::DoNotOptimize(slot);
        array.release(*slot);
    }
}

void BM_StoreLinearScan(benchmark::State &state)
{
    LinearQueue queue(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const int slot = queue.store(sample());
        benchmark::DoNotOptimize(slot);
        queue.release(slot);
    }
}

// The whole QueueEmail: validation, list expansion, the slot and the log entry
// (one write to the day's open file). With a second argument N, the log entries
// of N calls go out together, as the command port gathers those of one batch
// of datagrams.
void BM_QueueEmail(benchmark::State &state)
{
    const int pending = static_cast<int>(state.range(0));
    const int batch = state.range(1) > 0 ? static_cast<int>(state.range(1)) : 1;
    QTemporaryDir dir;
    RecipientListTable lists;
    lists[1].Addresses[1] = QStringLiteral("ops@example.com");
    lists[1].Addresses[4] = QStringLiteral(" oncall@example.com ");
    const ActivityLog log(dir.path(), systemClock());
    NotificationQueue queue(lists, log);
    fill(queue, pending);
    const QString subject = QStringLiteral("Alarm");
    const QString text = QStringLiteral("Pump 3 stopped");
    std::optional<ActivityLog::Batch> logBatch;
    int inBatch = 0;
    for (auto _ : state) {
        if (batch > 1 && inBatch++ % batch == 0) {
            logBatch.reset();
            logBatch.emplace(log);
        }
        if (queue.QueueEmail(1, subject, text) != QueueResult::Queued) {
            state.SkipWithError("not queued");
            break;
        }
        queue.release(pending - 1);
    }
}

// One send command through the handler, as the command port does it, with the
// queue emptied behind it as the dispatcher would.
void BM_HandleSendCommand(benchmark::State &state)
{
    QTemporaryDir dir;
    RecipientListTable lists;
    lists[1].Addresses[1] = QStringLiteral("ops@example.com");
    lists[1].Addresses[2] = QStringLiteral("oncall@example.com");
    const ActivityLog log(dir.path(), systemClock());
    NotificationQueue queue(lists, log);
    CommandHandler handler(queue);
    quint32 sequence = 0;
    for (auto _ : state) {
        QByteArray datagram(4, Qt::Uninitialized);
        for (int i = 0; i < 4; ++i)
            datagram[i] = static_cast<char>(sequence >> (8 * i));
        ++sequence;
        datagram += QByteArray("\x01\x01" "Alarm~Pump stopped", 20);
        benchmark::DoNotOptimize(handler.handle(datagram));
        if (queue.emailQueue().pendingCount() > 1000) {
            for (int i = 0; i <= queue.emailQueue().upperBound(); ++i)
                queue.release(i);
        }
    }
}

} // namespace

BENCHMARK(BM_HandleSendCommand);
BENCHMARK(BM_StoreLowestFree)->Arg(100)->Arg(1000)->Arg(32701);
BENCHMARK(BM_StoreLinearScan)->Arg(100)->Arg(1000)->Arg(32701);
BENCHMARK(BM_QueueEmail)->Args({100, 0})->Args({1000, 0})->Args({32701, 0})->Args({1000, 32});

BENCHMARK_MAIN();
