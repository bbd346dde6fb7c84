#pragma once

// The scan cycle without its window: one scan step over the two snapshot
// buffers, and the scan thread with a wait that a stop request cuts short.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "monitor/conn_table.h"

// What a scan step needs from the window that shows the list.
class CScanHost {
public:
    // A new snapshot into `snapshot`; 1 when taken, 0 when it failed.
    virtual int TakeSnapshot(const CONN_SNAPSHOT& snapshot) = 0;
    // Shows `snapshot` in the list.
    virtual void ShowTable(const CONN_SNAPSHOT& snapshot) = 0;
    // Writes `snapshot` to the log.
    virtual void DumpTable(const CONN_SNAPSHOT& snapshot) = 0;
    // Tells the user that `api` failed.
    virtual void ReportFailure(const char* api) = 0;

protected:
    ~CScanHost() = default;
};

enum class ScanStepResult {
    SnapshotFailed,
    Unchanged,
    Refreshed, // same endpoints, list refilled because `changed` asked for it
    Changed,   // new endpoints: list refilled, table logged, buffers swapped
};

// One scan step. A new snapshot goes into `current`; on a difference from
// `reference` the list is refilled, the table logged and the two buffers swap
// roles; a difference in either family counts. On no difference the list is refilled only if
// `changed` was set; the flag is taken and cleared in one exchange before that refill, so a set
// that arrives during the refill asks for another one.
ScanStepResult ScanStep(CScanHost& host, CONN_SNAPSHOT& current, CONN_SNAPSHOT& reference,
                        std::atomic<std::int32_t>& changed);

// The scan thread and its stop request. The wait between steps ends at once
// when a stop is requested; a step under way finishes.
class CScanThread {
public:
    CScanThread() = default;
    CScanThread(const CScanThread&) = delete;
    CScanThread& operator=(const CScanThread&) = delete;
    // Stops and joins a thread that is still there.
    ~CScanThread();

    // Clears the stop flag and runs `body` on a new thread. 1 when the thread
    // started, 0 when it could not be made or one is there already.
    int Start(std::function<void()> body);

    // Sets the stop flag and wakes the wait. Safe from any thread.
    void RequestStop();
    int IsStopRequested() const { return stopFlag.load() != 0; }

    // Waits until the thread has ended; the owner's thread only.
    void Join();
    bool IsStarted() const { return worker.joinable(); }

    // `ms` milliseconds, or less when a stop is requested: then 1.
    int Wait(std::uint32_t ms);

private:
    std::atomic<std::int32_t> stopFlag{0};
    std::mutex waitLock;
    std::condition_variable wake;
    std::thread worker;
};

// The scan thread's loop: a step at once, then a wait of the period read after
// that step, until a stop is requested. Returns 0.
std::uint32_t RunScanLoop(CScanThread& thread, const std::function<void()>& step,
                          const std::function<std::uint32_t()>& period);
