#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "monitor/scan_cycle.h"

namespace {

using Calls = std::vector<std::string>;

struct Buffer {
    std::unique_ptr<unsigned char[]> bytes{new unsigned char[kConnTableBytes]()};
    CONN_TABLE* table() { return reinterpret_cast<CONN_TABLE*>(bytes.get()); }
};

// Hands out snapshots of `rows` and records what the step asked of the window.
class RecordingHost : public CScanHost {
public:
    std::vector<CONN_ROW> rows{{2, 0x0100007f, 80, 0, 0}, {5, 0x0100007f, 4000, 0x0100007f, 22}};
    bool failSnapshot = false;
    std::atomic<std::int32_t>* setDuringRefill = nullptr;
    Calls calls;

    int TakeSnapshot(CONN_TABLE* table) override
    {
        calls.push_back("snapshot");
        // A failed snapshot still leaves something behind in the buffer.
        table->count = failSnapshot ? 0 : static_cast<std::uint32_t>(rows.size());
        std::memcpy(table->rows, rows.data(), table->count * sizeof(CONN_ROW));
        return failSnapshot ? 0 : 1;
    }
    void ShowTable(const CONN_TABLE*) override
    {
        calls.push_back("show");
        if (setDuringRefill != nullptr)
            *setDuringRefill = 1;
    }
    void DumpTable(const CONN_TABLE* table) override
    {
        calls.push_back("dump " + std::to_string(table->count));
    }
    void ReportFailure(const char* api) override { calls.push_back(std::string("report ") + api); }
};

class ScanStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.TakeSnapshot(current);
        host.TakeSnapshot(reference);
        host.calls.clear();
    }
    ScanStepResult Step() { return ScanStep(host, current, reference, changed); }
    Calls TakeCalls() { return std::exchange(host.calls, {}); }

    Buffer first, second;
    CONN_TABLE* current = first.table();
    CONN_TABLE* reference = second.table();
    std::atomic<std::int32_t> changed{0};
    RecordingHost host;
};

TEST_F(ScanStepTest, ChangedFlagAloneRefillsOnceAndIsCleared)
{
    EXPECT_EQ(Step(), ScanStepResult::Unchanged);
    EXPECT_EQ(TakeCalls(), Calls{"snapshot"});

    changed = 1;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(TakeCalls(), (Calls{"snapshot", "show"}));
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(Step(), ScanStepResult::Unchanged);
    EXPECT_EQ(TakeCalls(), Calls{"snapshot"});
    EXPECT_EQ(current, first.table());
}

TEST_F(ScanStepTest, DifferenceRefillsDumpsAndSwapsAndLeavesChangedForTheNextStep)
{
    changed = 1;
    host.rows.push_back({5, 0x0100007f, 4001, 0x0100007f, 22});
    EXPECT_EQ(Step(), ScanStepResult::Changed);
    EXPECT_EQ(TakeCalls(), (Calls{"snapshot", "show", "dump 3"}));
    // The new snapshot is now the reference; the old reference takes the next one.
    EXPECT_EQ(reference, first.table());
    EXPECT_EQ(current, second.table());
    EXPECT_EQ(changed, 1);

    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(TakeCalls(), (Calls{"snapshot", "show"}));
    EXPECT_EQ(changed, 0);
}

TEST_F(ScanStepTest, ChangedSetDuringARefillIsNotLost)
{
    changed = 1;
    host.setDuringRefill = &changed;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(changed, 1);

    host.setDuringRefill = nullptr;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(changed, 0);
}

TEST_F(ScanStepTest, FailedSnapshotReportsAndChangesNothingElse)
{
    changed = 1;
    host.failSnapshot = true;
    EXPECT_EQ(Step(), ScanStepResult::SnapshotFailed);
    EXPECT_EQ(TakeCalls(), (Calls{"snapshot", "report GetConnectionTable"}));
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(current, first.table());
    EXPECT_EQ(reference->count, 2u);
}

// The scan thread against another that keeps asking for refills, as the
// resolver does: a lost request or a stop that leaves the wait alone hangs here.
TEST(ScanThread, ServesEveryRefillRequestAndStopCutsADayLongWaitShort)
{
    struct EqualTablesHost : CScanHost {
        std::atomic<int> refills{0};
        int TakeSnapshot(CONN_TABLE* table) override
        {
            table->count = 0;
            return 1;
        }
        void ShowTable(const CONN_TABLE*) override { ++refills; }
        void DumpTable(const CONN_TABLE*) override {}
        void ReportFailure(const char*) override {}
    } host;
    Buffer a, b;
    CONN_TABLE* current = a.table();
    CONN_TABLE* reference = b.table();
    std::atomic<std::int32_t> changed{0};
    std::atomic<std::uint32_t> period{0};
    CScanThread thread;
    ASSERT_EQ(thread.Start([&] {
        RunScanLoop(
            thread, [&] { ScanStep(host, current, reference, changed); },
            [&] { return period.load(); });
    }),
              1);
    auto refill = [&] {
        int before = host.refills;
        changed = 1;
        while (host.refills == before)
            std::this_thread::yield();
    };
    for (int i = 0; i < 200; ++i)
        refill();
    // The period is read after the step that serves this refill.
    period = 86400000;
    refill();
    thread.RequestStop();
    thread.Join();
    EXPECT_FALSE(thread.IsStarted());
}

} // namespace
