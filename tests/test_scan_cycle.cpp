#include <algorithm>
#include <utility>

#include "monitor/scan_cycle.h"
#include "test_support.h"

using Calls = std::vector<std::string>;

// Hands out snapshots of `rows` and records what the step asked of the window.
struct RecordingHost : CScanHost {
    std::vector<CONN_ROW> rows{{2, 0x0100007f, 80, 0, 0}, {5, 0x0100007f, 4000, 0x0100007f, 22}};
    bool failSnapshot = false;
    std::atomic<std::int32_t>* setDuringRefill = nullptr;
    Calls calls;

    std::vector<CONN6_ROW> rows6;

    int TakeSnapshot(const CONN_SNAPSHOT& snapshot) override
    {
        calls.push_back("snapshot");
        CONN_TABLE* table = snapshot.table;
        snapshot.table6->count = static_cast<std::uint32_t>(rows6.size());
        std::copy(rows6.begin(), rows6.end(), snapshot.table6->rows);
        // A failed snapshot still leaves something behind in the buffer.
        table->count = failSnapshot ? 0 : static_cast<std::uint32_t>(rows.size());
        std::memcpy(table->rows, rows.data(), table->count * sizeof(CONN_ROW));
        return failSnapshot ? 0 : 1;
    }
    void ShowTable(const CONN_SNAPSHOT&) override
    {
        calls.push_back("show");
        if (setDuringRefill != nullptr)
            *setDuringRefill = 1;
    }
    void DumpTable(const CONN_SNAPSHOT& snapshot) override
    {
        calls.push_back("dump " + std::to_string(snapshot.table->count) + "+" +
                        std::to_string(snapshot.table6->count));
    }
    void ReportFailure(const char* api) override { calls.push_back(api); }
};

// One step after another on the same two buffers, each set up as its row says.
TEST(ScanStep, RefillsDumpsAndSwapsAsTheSnapshotAndTheFlagAsk)
{
    using enum ScanStepResult;
    RecordingHost host;
    std::vector<unsigned char> first(kConnTableBytes), second(kConnTableBytes);
    std::vector<unsigned char> first6(kConn6TableBytes), second6(kConn6TableBytes);
    CONN_SNAPSHOT current{reinterpret_cast<CONN_TABLE*>(first.data()),
                          reinterpret_cast<CONN6_TABLE*>(first6.data())};
    CONN_SNAPSHOT reference{reinterpret_cast<CONN_TABLE*>(second.data()),
                            reinterpret_cast<CONN6_TABLE*>(second6.data())};
    host.TakeSnapshot(reference);
    host.calls.clear();
    std::atomic<std::int32_t> changed{0};
    // What becomes of the rows before a step; the last two keep their number.
    enum Rows { Kept, OneMore, StateMoves, OneForAnother, OneMore6 };
    // clang-format off
    const struct {
        const char* what;
        int setChanged; // -1: leave it as the step before left it
        Rows rows;
        bool fail, setDuringRefill;
        ScanStepResult result;
        Calls calls;
        int changedAfter;
    } steps[] = {
        {"nothing new", 0, Kept, false, false, Unchanged, {"snapshot"}, 0},
        {"asked for a refill", 1, Kept, false, false, Refreshed, {"snapshot", "show"}, 0},
        {"asked again during it", 1, Kept, false, true, Refreshed, {"snapshot", "show"}, 1},
        {"not lost", -1, Kept, false, false, Refreshed, {"snapshot", "show"}, 0},
        {"a new row", 1, OneMore, false, false, Changed, {"snapshot", "show", "dump 3+0"}, 1},
        {"the flag it left", -1, Kept, false, false, Refreshed, {"snapshot", "show"}, 0},
        {"a state change", 0, StateMoves, false, false, Changed, {"snapshot", "show", "dump 3+0"}, 0},
        {"another row", 0, OneForAnother, false, false, Changed, {"snapshot", "show", "dump 3+0"}, 0},
        {"an IPv6 row alone", 0, OneMore6, false, false, Changed, {"snapshot", "show", "dump 3+1"}, 0},
        {"failed", 1, Kept, true, false, SnapshotFailed, {"snapshot", "GetConnectionTable"}, 1},
    };
    // clang-format on
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.setChanged >= 0)
            changed = step.setChanged;
        if (step.rows == OneMore)
            host.rows.push_back({5, 0x0100007f, 4001, 0x0100007f, 22});
        if (step.rows == StateMoves)
            host.rows.back().state = 8; // ESTABLISHED to CLOSE_WAIT
        if (step.rows == OneForAnother)
            host.rows.back().localPort = 4002;
        if (step.rows == OneMore6)
            host.rows6.push_back({2, {}, 0, 80, {}, 0, 0});
        host.failSnapshot = step.fail;
        host.setDuringRefill = step.setDuringRefill ? &changed : nullptr;
        CONN_TABLE* const before[] = {current.table, reference.table};
        CONN6_TABLE* const before6[] = {current.table6, reference.table6};
        EXPECT_EQ(ScanStep(host, current, reference, changed), step.result);
        EXPECT_EQ(std::exchange(host.calls, {}), step.calls);
        EXPECT_EQ(changed, step.changedAfter);
        // Only a difference swaps: the new snapshot becomes the reference.
        // The IPv6 rows travel with the IPv4 rows of their snapshot.
        const int swapped = step.result == Changed ? 1 : 0;
        EXPECT_EQ(reference.table, before[1 - swapped]);
        EXPECT_EQ(current.table, before[swapped]);
        EXPECT_EQ(reference.table6, before6[1 - swapped]);
        EXPECT_EQ(reference.table->count, host.rows.size());
    }
}
