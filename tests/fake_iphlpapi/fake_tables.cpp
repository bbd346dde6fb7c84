// An IP helper library whose tables the tests set: it answers the size query
// and the read as the real one does, can fail on demand, and calls a hook
// from every TCP table call so a test can act in the middle of a scan step.
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/iphelper/iphlpapi.h"
#include "tests/fake_iphlpapi/fake_control.h"

namespace {

constexpr std::uint32_t kInsufficientBuffer = 122;

std::mutex lock;
std::vector<MIB_TCPROW> tcpRows;
std::vector<MIB_UDPROW> udpRows;
std::uint32_t failure = 0;
FakeTableHook tcpHook = nullptr;

template <typename Table, typename Row>
std::uint32_t Answer(const std::vector<Row>& rows, Table* table, std::uint32_t* size)
{
    if (size == nullptr)
        return 87;
    if (failure != 0)
        return failure;
    std::uint32_t needed =
        static_cast<std::uint32_t>(sizeof(std::uint32_t) + rows.size() * sizeof(Row));
    if (table == nullptr || *size < needed) {
        *size = needed;
        return kInsufficientBuffer;
    }
    table->dwNumEntries = static_cast<std::uint32_t>(rows.size());
    if (!rows.empty())
        std::memcpy(table->table, rows.data(), rows.size() * sizeof(Row));
    return 0;
}

} // namespace

extern "C" {

void FakeSetTcpRows(const MIB_TCPROW* rows, std::uint32_t count)
{
    std::lock_guard<std::mutex> guard(lock);
    tcpRows.assign(rows, rows + count);
}

void FakeSetUdpRows(const MIB_UDPROW* rows, std::uint32_t count)
{
    std::lock_guard<std::mutex> guard(lock);
    udpRows.assign(rows, rows + count);
}

void FakeSetFailure(std::uint32_t code)
{
    std::lock_guard<std::mutex> guard(lock);
    failure = code;
}

void FakeSetTcpHook(FakeTableHook hook)
{
    std::lock_guard<std::mutex> guard(lock);
    tcpHook = hook;
}

std::uint32_t GetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int)
{
    FakeTableHook hook;
    {
        std::lock_guard<std::mutex> guard(lock);
        hook = tcpHook;
    }
    // Called outside the lock: the hook may set new rows.
    if (hook != nullptr && table == nullptr)
        hook();
    std::lock_guard<std::mutex> guard(lock);
    return Answer(tcpRows, table, size);
}

std::uint32_t GetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int)
{
    std::lock_guard<std::mutex> guard(lock);
    return Answer(udpRows, table, size);
}
}
