#include "platform/iphelper/iphlpapi.h"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/iphelper/endpoint_row.h"
#include "platform/iphelper/proc_net_table.h"
#include "platform/iphelper/sock_diag_dump.h"
#include "platform/win_types.h"

namespace {

using iphelper::Endpoint6Rows;
using iphelper::EndpointRows;
using iphelper::Protocol;

// Rows of a size query kept for the read that follows; older ones are not served.
constexpr long kPendingLifetimeNs = 1000L * 1000 * 1000;

template <typename Rows> struct PendingRows {
    Rows rows;
    bool valid = false;
    bool sorted = false;
    long long takenNs = 0;
};

// Per thread, so a caller's size query and read pair up without a lock.
struct ThreadTables {
    PendingRows<EndpointRows> pending[2];
    PendingRows<Endpoint6Rows> pending6[2];
    std::vector<char> receive;
    std::string procText;
};

thread_local ThreadTables threadTables;

long long NowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The kernel's table by sock_diag; /proc/net where that is unavailable.
int CollectRows(Protocol protocol, EndpointRows& rows)
{
    ThreadTables& tables = threadTables;
    int error = iphelper::DumpSockDiag(protocol, rows, tables.receive);
    if (error == 0)
        return 0;
    return iphelper::ReadProcNet(protocol, tables.procText, rows);
}

int CollectRows(Protocol protocol, Endpoint6Rows& rows)
{
    ThreadTables& tables = threadTables;
    int error = iphelper::DumpSockDiag(protocol, rows, tables.receive);
    if (error == 0)
        return 0;
    return iphelper::ReadProcNet6(protocol, tables.procText, rows);
}

PendingRows<EndpointRows>& PendingOf(Protocol protocol, const EndpointRows*)
{
    return threadTables.pending[protocol == Protocol::Tcp ? 0 : 1];
}

PendingRows<Endpoint6Rows>& PendingOf(Protocol protocol, const Endpoint6Rows*)
{
    return threadTables.pending6[protocol == Protocol::Tcp ? 0 : 1];
}

template <typename Row, typename Rows> void WriteRows(const Rows& rows, void* table);

template <> void WriteRows<MIB_TCPROW>(const EndpointRows& rows, void* table)
{
    auto* out = static_cast<MIB_TCPTABLE*>(table);
    out->dwNumEntries = static_cast<std::uint32_t>(rows.size());
    if (!rows.empty())
        std::memcpy(out->table, rows.data(), rows.size() * sizeof(MIB_TCPROW));
}

template <> void WriteRows<MIB_UDPROW>(const EndpointRows& rows, void* table)
{
    auto* out = static_cast<MIB_UDPTABLE*>(table);
    out->dwNumEntries = static_cast<std::uint32_t>(rows.size());
    MIB_UDPROW* row = out->table;
    for (const MIB_TCPROW& source : rows) {
        row->dwLocalAddr = source.dwLocalAddr;
        row->dwLocalPort = source.dwLocalPort;
        ++row;
    }
}

template <> void WriteRows<MIB_TCP6ROW>(const Endpoint6Rows& rows, void* table)
{
    auto* out = static_cast<MIB_TCP6TABLE*>(table);
    out->dwNumEntries = static_cast<std::uint32_t>(rows.size());
    if (!rows.empty())
        std::memcpy(out->table, rows.data(), rows.size() * sizeof(MIB_TCP6ROW));
}

template <> void WriteRows<MIB_UDP6ROW>(const Endpoint6Rows& rows, void* table)
{
    auto* out = static_cast<MIB_UDP6TABLE*>(table);
    out->dwNumEntries = static_cast<std::uint32_t>(rows.size());
    MIB_UDP6ROW* row = out->table;
    for (const MIB_TCP6ROW& source : rows) {
        std::memcpy(row->ucLocalAddr, source.LocalAddr, sizeof row->ucLocalAddr);
        row->dwLocalScopeId = source.dwLocalScopeId;
        row->dwLocalPort = source.dwLocalPort;
        ++row;
    }
}

template <typename Row, typename Rows> bool NeededSize(const Rows& rows, std::uint32_t& size)
{
    const std::size_t bytes = sizeof(std::uint32_t) + rows.size() * sizeof(Row);
    if (bytes > UINT32_MAX)
        return false;
    size = static_cast<std::uint32_t>(bytes);
    return true;
}

template <typename Row, typename Rows>
std::uint32_t ServeTable(Protocol protocol, void* table, std::uint32_t* size, int order)
{
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    try {
        auto& pending = PendingOf(protocol, static_cast<const Rows*>(nullptr));
        std::uint32_t needed = 0;
        if (table != nullptr && pending.valid && NeededSize<Row, Rows>(pending.rows, needed) &&
            needed <= *size && NowNs() - pending.takenNs < kPendingLifetimeNs) {
            pending.valid = false;
            if (order != 0 && !pending.sorted)
                iphelper::SortRows(pending.rows);
            WriteRows<Row, Rows>(pending.rows, table);
            return NO_ERROR;
        }

        pending.valid = false;
        int error = CollectRows(protocol, pending.rows);
        if (error != 0) {
            errno = error;
            return error == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_NOT_SUPPORTED;
        }
        if (order != 0)
            iphelper::SortRows(pending.rows);
        if (!NeededSize<Row, Rows>(pending.rows, needed))
            return ERROR_NOT_ENOUGH_MEMORY;
        if (table == nullptr || *size < needed) {
            *size = needed;
            pending.valid = true;
            pending.sorted = order != 0;
            pending.takenNs = NowNs();
            return ERROR_INSUFFICIENT_BUFFER;
        }
        WriteRows<Row, Rows>(pending.rows, table);
        return NO_ERROR;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace

extern "C" {

std::uint32_t GetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int order)
{
    return ServeTable<MIB_TCPROW, EndpointRows>(Protocol::Tcp, table, size, order);
}

std::uint32_t GetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int order)
{
    return ServeTable<MIB_UDPROW, EndpointRows>(Protocol::Udp, table, size, order);
}

std::uint32_t GetTcp6Table(MIB_TCP6TABLE* table, std::uint32_t* size, int order)
{
    return ServeTable<MIB_TCP6ROW, Endpoint6Rows>(Protocol::Tcp, table, size, order);
}

std::uint32_t GetUdp6Table(MIB_UDP6TABLE* table, std::uint32_t* size, int order)
{
    return ServeTable<MIB_UDP6ROW, Endpoint6Rows>(Protocol::Udp, table, size, order);
}
}
