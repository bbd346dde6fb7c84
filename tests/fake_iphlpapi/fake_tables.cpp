// An IP helper library whose tables the tests set: it answers the size query
// and the read as the real one does, can fail on demand, and calls a hook
// from every TCP table call so a test can act in the middle of a scan step.
// Built with FAKE_IPHLPAPI_WITHOUT_UDP it lacks GetUdpTable.
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/iphelper/iphlpapi.h"
#include "tests/fake_iphlpapi/fake_control.h"

namespace {

std::mutex lock;
std::vector<MIB_TCPROW> tcpRows;
std::vector<MIB_UDPROW> udpRows;
std::uint32_t failure = 0;
FakeTableHook tcpHook = nullptr;

template <typename Table, typename Row>
std::uint32_t Answer(const std::vector<Row>& rows, Table* table, std::uint32_t* size)
{
    std::lock_guard<std::mutex> guard(lock);
    if (size == nullptr)
        return 87;
    if (failure != 0)
        return failure;
    const auto needed =
        static_cast<std::uint32_t>(sizeof(std::uint32_t) + rows.size() * sizeof(Row));
    if (table == nullptr || *size < needed) {
        *size = needed;
        return 122;
    }
    table->dwNumEntries = static_cast<std::uint32_t>(rows.size());
    if (!rows.empty())
        std::memcpy(table->table, rows.data(), rows.size() * sizeof(Row));
    return 0;
}

template <typename T> void Set(T& field, const T& value)
{
    std::lock_guard<std::mutex> guard(lock);
    field = value;
}

} // namespace

extern "C" {

void FakeSetTcpRows(const MIB_TCPROW* rows, std::uint32_t count)
{
    Set(tcpRows, std::vector<MIB_TCPROW>(rows, rows + count));
}

void FakeSetUdpRows(const MIB_UDPROW* rows, std::uint32_t count)
{
    Set(udpRows, std::vector<MIB_UDPROW>(rows, rows + count));
}

void FakeSetFailure(std::uint32_t code)
{
    Set(failure, code);
}

void FakeSetTcpHook(FakeTableHook hook)
{
    Set(tcpHook, hook);
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
    return Answer(tcpRows, table, size);
}

#ifndef FAKE_IPHLPAPI_WITHOUT_UDP
std::uint32_t GetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int)
{
    return Answer(udpRows, table, size);
}
#endif
}
