#include "monitor/scan_cycle.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "monitor/table_compare.h"

ScanStepResult ScanStep(CScanHost& host, CONN_SNAPSHOT& current, CONN_SNAPSHOT& reference,
                        std::atomic<std::int32_t>& changed)
{
    if (!host.TakeSnapshot(current)) {
        host.ReportFailure("GetConnectionTable");
        return ScanStepResult::SnapshotFailed;
    }
    if (!CompareConnectionTables(current.table, reference.table) ||
        !CompareConnection6Tables(current.table6, reference.table6)) {
        host.ShowTable(current);
        host.DumpTable(current);
        std::swap(current, reference);
        return ScanStepResult::Changed;
    }
    if (changed.exchange(0) != 0) {
        host.ShowTable(current);
        return ScanStepResult::Refreshed;
    }
    return ScanStepResult::Unchanged;
}

CScanThread::~CScanThread()
{
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) {
        RequestStop();
        worker.join();
    }
}

int CScanThread::Start(std::function<void()> body)
{
    if (worker.joinable())
        return 0;
    stopFlag = 0;
    try {
        worker = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return 0;
    }
    return 1;
}

void CScanThread::RequestStop()
{
    {
        // Set under the wait's lock, so a waiter between its check and its
        // sleep cannot miss the wake-up.
        std::lock_guard<std::mutex> guard(waitLock);
        stopFlag = 1;
    }
    wake.notify_all();
}

void CScanThread::Join()
{
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
}

int CScanThread::Wait(std::uint32_t ms)
{
    std::unique_lock<std::mutex> guard(waitLock);
    bool stopped = wake.wait_for(guard, std::chrono::milliseconds(ms),
                                 [this] { return stopFlag.load() != 0; });
    return stopped ? 1 : 0;
}

std::uint32_t RunScanLoop(CScanThread& thread, const std::function<void()>& step,
                          const std::function<std::uint32_t()>& period)
{
    while (!thread.IsStopRequested()) {
        step();
        if (thread.Wait(period()))
            break;
    }
    return 0;
}
