#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/scan_cycle.h"

namespace {

struct Buffer {
    std::unique_ptr<unsigned char[]> bytes{new unsigned char[kConnTableBytes]()};
    CONN_TABLE* table() { return reinterpret_cast<CONN_TABLE*>(bytes.get()); }
};

CONN_ROW TcpRow(std::uint32_t state, std::uint16_t localPort, std::uint16_t remotePort)
{
    CONN_ROW row{};
    row.state = state;
    row.localAddr = 0x0100007f;
    row.localPort = localPort;
    row.remoteAddr = 0x0100007f;
    row.remotePort = remotePort;
    return row;
}

void Fill(CONN_TABLE* table, const std::vector<CONN_ROW>& rows)
{
    table->count = static_cast<std::uint32_t>(rows.size());
    if (!rows.empty())
        std::memcpy(table->rows, rows.data(), rows.size() * sizeof(CONN_ROW));
}

// A window stand-in that hands out scripted snapshots and records what the step did.
class RecordingHost : public CScanHost {
public:
    std::vector<CONN_ROW> endpoints;
    bool failSnapshot = false;
    std::vector<std::string> calls;
    std::vector<const CONN_TABLE*> shown;
    std::vector<std::uint32_t> dumpedCounts;
    std::vector<std::string> reports;
    std::atomic<std::int32_t>* setDuringRefill = nullptr;

    int TakeSnapshot(CONN_TABLE* table) override
    {
        calls.push_back("snapshot");
        if (failSnapshot) {
            // A failed snapshot still leaves something behind in the buffer.
            table->count = 0;
            return 0;
        }
        Fill(table, endpoints);
        return 1;
    }
    void ShowTable(const CONN_TABLE* table) override
    {
        calls.push_back("show");
        shown.push_back(table);
        if (setDuringRefill != nullptr)
            *setDuringRefill = 1;
    }
    void DumpTable(const CONN_TABLE* table) override
    {
        calls.push_back("dump");
        dumpedCounts.push_back(table->count);
    }
    void ReportFailure(const char* api) override
    {
        calls.push_back("report");
        reports.emplace_back(api);
    }
};

class ScanStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.endpoints = {TcpRow(2, 80, 0), TcpRow(5, 40000, 443)};
        Fill(current, host.endpoints);
        Fill(reference, host.endpoints);
    }

    ScanStepResult Step() { return ScanStep(host, current, reference, changed); }

    Buffer first, second;
    CONN_TABLE* const firstTable = first.table();
    CONN_TABLE* const secondTable = second.table();
    CONN_TABLE* current = firstTable;
    CONN_TABLE* reference = secondTable;
    std::atomic<std::int32_t> changed{0};
    RecordingHost host;
};

TEST_F(ScanStepTest, QuietMachineCostsOnlyASnapshot)
{
    EXPECT_EQ(Step(), ScanStepResult::Unchanged);
    EXPECT_EQ(host.calls, std::vector<std::string>{"snapshot"});
    EXPECT_EQ(current, firstTable);
    EXPECT_EQ(reference, secondTable);
    EXPECT_EQ(changed, 0);
}

TEST_F(ScanStepTest, ChangedFlagRefillsOnceAndIsCleared)
{
    changed = 1;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"snapshot", "show"}));
    ASSERT_EQ(host.shown.size(), 1u);
    EXPECT_EQ(host.shown[0], firstTable);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(current, firstTable);

    host.calls.clear();
    EXPECT_EQ(Step(), ScanStepResult::Unchanged);
    EXPECT_EQ(host.calls, std::vector<std::string>{"snapshot"});
}

TEST_F(ScanStepTest, NewConnectionRefillsDumpsAndSwapsOnce)
{
    host.endpoints.push_back(TcpRow(5, 40001, 22));
    EXPECT_EQ(Step(), ScanStepResult::Changed);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"snapshot", "show", "dump"}));
    ASSERT_EQ(host.shown.size(), 1u);
    EXPECT_EQ(host.shown[0], firstTable);
    EXPECT_EQ(host.dumpedCounts, std::vector<std::uint32_t>{3});
    // The new snapshot is now the reference; the old reference takes the next one.
    EXPECT_EQ(reference, firstTable);
    EXPECT_EQ(current, secondTable);
    EXPECT_EQ(reference->count, 3u);

    host.calls.clear();
    EXPECT_EQ(Step(), ScanStepResult::Unchanged);
    EXPECT_EQ(Step(), ScanStepResult::Unchanged);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"snapshot", "snapshot"}));
}

TEST_F(ScanStepTest, DifferenceLeavesChangedForTheNextEqualStep)
{
    changed = 1;
    host.endpoints.pop_back();
    EXPECT_EQ(Step(), ScanStepResult::Changed);
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(host.shown.size(), 1u);

    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(host.shown.size(), 2u);
    EXPECT_EQ(host.dumpedCounts.size(), 1u);
}

TEST_F(ScanStepTest, NameResolvedDuringARefillIsNotLost)
{
    changed = 1;
    host.setDuringRefill = &changed;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(changed, 1);

    host.setDuringRefill = nullptr;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(host.shown.size(), 2u);
}

TEST_F(ScanStepTest, FailedSnapshotReportsAndChangesNothingElse)
{
    changed = 1;
    host.failSnapshot = true;
    EXPECT_EQ(Step(), ScanStepResult::SnapshotFailed);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"snapshot", "report"}));
    EXPECT_EQ(host.reports, std::vector<std::string>{"GetConnectionTable"});
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(current, firstTable);
    EXPECT_EQ(reference, secondTable);
    EXPECT_EQ(reference->count, 2u);

    // The next period tries again and picks up where it left off.
    host.failSnapshot = false;
    EXPECT_EQ(Step(), ScanStepResult::Refreshed);
}

// Counts events and lets a test wait for a number of them.
class Latch {
public:
    void Add()
    {
        std::lock_guard<std::mutex> guard(lock);
        ++count;
        signal.notify_all();
    }
    void WaitFor(int n)
    {
        std::unique_lock<std::mutex> guard(lock);
        signal.wait(guard, [&] { return count >= n; });
    }
    int Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return count;
    }

private:
    std::mutex lock;
    std::condition_variable signal;
    int count = 0;
};

class ScanThreadTest : public ::testing::Test {
protected:
    // Runs the scan loop on the thread; `ends` counts the loop's returns.
    int StartLoop(std::function<void()> step, std::function<std::uint32_t()> period)
    {
        return thread.Start([this, step, period] {
            RunScanLoop(thread, step, period);
            ends.Add();
        });
    }

    CScanThread thread;
    Latch steps;
    Latch ends;
};

TEST_F(ScanThreadTest, FirstStepRunsAtOnceAndStopCutsTheLongWaitShort)
{
    ASSERT_EQ(StartLoop([&] { steps.Add(); }, [] { return 10000u; }), 1);
    steps.WaitFor(1);
    thread.RequestStop();
    thread.Join();
    EXPECT_EQ(steps.Count(), 1);
    EXPECT_EQ(ends.Count(), 1);
    EXPECT_FALSE(thread.IsStarted());
}

TEST_F(ScanThreadTest, StopDuringAStepLetsItFinishAndStartsNoOther)
{
    std::atomic<bool> stepFinished{false};
    ASSERT_EQ(StartLoop(
                  [&] {
                      thread.RequestStop();
                      stepFinished = true;
                      steps.Add();
                  },
                  [] { return 10000u; }),
              1);
    ends.WaitFor(1);
    thread.Join();
    EXPECT_TRUE(stepFinished);
    EXPECT_EQ(steps.Count(), 1);
}

TEST_F(ScanThreadTest, PeriodIsReadAfterEveryStep)
{
    std::vector<std::string> order;
    std::mutex orderLock;
    auto note = [&](const char* what) {
        std::lock_guard<std::mutex> guard(orderLock);
        order.emplace_back(what);
    };
    ASSERT_EQ(StartLoop(
                  [&] {
                      note("step");
                      steps.Add();
                      if (steps.Count() == 3)
                          thread.RequestStop();
                  },
                  [&] {
                      note("period");
                      return 0u;
                  }),
              1);
    thread.Join();
    EXPECT_EQ(order,
              (std::vector<std::string>{"step", "period", "step", "period", "step", "period"}));
}

TEST_F(ScanThreadTest, DestroyingARunningThreadStopsIt)
{
    auto owned = std::make_unique<CScanThread>();
    CScanThread& ref = *owned;
    ASSERT_EQ(owned->Start([&] {
        RunScanLoop(
            ref, [&] { steps.Add(); }, [] { return 10000u; });
        ends.Add();
    }),
              1);
    steps.WaitFor(1);
    owned.reset();
    EXPECT_EQ(ends.Count(), 1);
}

// The scan thread stepping while another thread keeps asking for refills, as a
// resolver does when names come in: every request ends in a refill.
class EqualTablesHost : public CScanHost {
public:
    std::atomic<int> refills{0};
    int TakeSnapshot(CONN_TABLE* table) override
    {
        table->count = 0;
        return 1;
    }
    void ShowTable(const CONN_TABLE*) override { ++refills; }
    void DumpTable(const CONN_TABLE*) override {}
    void ReportFailure(const char*) override {}
};

TEST(ScanCycleThreads, RefillRequestsFromAnotherThreadAreAllServed)
{
    Buffer a, b;
    CONN_TABLE* current = a.table();
    CONN_TABLE* reference = b.table();
    std::atomic<std::int32_t> changed{0};
    EqualTablesHost host;
    CScanThread thread;
    ASSERT_EQ(thread.Start([&] {
        RunScanLoop(
            thread, [&] { ScanStep(host, current, reference, changed); }, [] { return 0u; });
    }),
              1);

    std::thread resolver([&] {
        for (int i = 0; i < 200; ++i) {
            int before = host.refills;
            changed = 1;
            while (host.refills == before)
                std::this_thread::yield();
        }
    });
    resolver.join();
    thread.RequestStop();
    thread.Join();
    EXPECT_GE(host.refills, 200);
}

} // namespace
