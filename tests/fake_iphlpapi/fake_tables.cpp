// An IP helper library whose tables the tests set: it answers the size query
// and the read as the real one does, can fail on demand, and calls a hook
// from every TCP table call so a test can act in the middle of a scan step.
// Built with FAKE_IPHLPAPI_WITHOUT_UDP it lacks GetUdpTable.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "tests/fake_iphlpapi/fake_control.h"

namespace {

std::mutex lock;
std::vector<MIB_TCPROW> tcpRows;
std::vector<MIB_UDPROW> udpRows;
std::vector<MIB_TCP6ROW> tcp6Rows;
std::vector<MIB_UDP6ROW> udp6Rows;
std::atomic<std::uint32_t> failure{0};
std::atomic<FakeTableHook> tcpHook{nullptr};

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
    std::copy(rows.begin(), rows.end(), table->table);
    return 0;
}

template <typename Row> void Set(std::vector<Row>& field, const Row* rows, std::uint32_t count)
{
    std::lock_guard<std::mutex> guard(lock);
    field.assign(rows, rows + count);
}

} // namespace

extern "C" {

void FakeSetTcpRows(const MIB_TCPROW* rows, std::uint32_t count)
{
    Set(tcpRows, rows, count);
}

void FakeSetUdpRows(const MIB_UDPROW* rows, std::uint32_t count)
{
    Set(udpRows, rows, count);
}

void FakeSetTcp6Rows(const MIB_TCP6ROW* rows, std::uint32_t count)
{
    Set(tcp6Rows, rows, count);
}

void FakeSetUdp6Rows(const MIB_UDP6ROW* rows, std::uint32_t count)
{
    Set(udp6Rows, rows, count);
}

void FakeSetFailure(std::uint32_t code)
{
    failure = code;
}

void FakeSetTcpHook(FakeTableHook hook)
{
    tcpHook = hook;
}

std::uint32_t GetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int)
{
    // Called outside the lock: the hook may set new rows.
    if (const FakeTableHook hook = tcpHook; hook != nullptr && table == nullptr)
        hook();
    return Answer(tcpRows, table, size);
}

std::uint32_t GetTcp6Table(MIB_TCP6TABLE* table, std::uint32_t* size, int)
{
    return Answer(tcp6Rows, table, size);
}

std::uint32_t GetUdp6Table(MIB_UDP6TABLE* table, std::uint32_t* size, int)
{
    return Answer(udp6Rows, table, size);
}

#ifndef FAKE_IPHLPAPI_WITHOUT_UDP
std::uint32_t GetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int)
{
    return Answer(udpRows, table, size);
}
#endif
}
