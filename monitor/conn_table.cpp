#include "monitor/conn_table.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <memory>

#include "platform/win_types.h"
#include "settings/prop.h"

GetTcpTableFn g_pGetTcpTable = nullptr;
GetUdpTableFn g_pGetUdpTable = nullptr;

namespace {

constexpr std::uint32_t kMaxSystemTableBytes = 65536;

std::uint16_t HostPort(std::uint32_t portField)
{
    return ntohs(static_cast<std::uint16_t>(portField & 0xFFFFu));
}

struct FreeScratch {
    void operator()(void* data) const { std::free(data); }
};
using ScratchBuffer = std::unique_ptr<void, FreeScratch>;

CONN_ROW ConnRow(const MIB_TCPROW& row)
{
    return {row.dwState, row.dwLocalAddr, HostPort(row.dwLocalPort), row.dwRemoteAddr,
            HostPort(row.dwRemotePort)};
}

CONN_ROW ConnRow(const MIB_UDPROW& row)
{
    return {0, row.dwLocalAddr, HostPort(row.dwLocalPort), 0, 0};
}

// The size query, the bound on the needed size and the read into a scratch
// buffer of exactly that size; then the entry count, which must fit the bytes
// that were asked for. The rows are appended after those already in `table`;
// rows beyond its capacity are dropped: a full table is still a snapshot.
template <typename Table>
int AppendRows(std::uint32_t (*read)(Table*, std::uint32_t*, int), CONN_TABLE* table)
{
    std::uint32_t size = 0;
    if (read(nullptr, &size, 1) != ERROR_INSUFFICIENT_BUFFER)
        return 0;
    if (size > kMaxSystemTableBytes || size < sizeof(std::uint32_t))
        return 0;
    ScratchBuffer scratch(std::malloc(size));
    auto* system = static_cast<Table*>(scratch.get());
    if (system == nullptr || read(system, &size, 1) != NO_ERROR)
        return 0;
    if (system->dwNumEntries > (size - sizeof(std::uint32_t)) / sizeof system->table[0])
        return 0;
    CONN_ROW* rows = table->rows;
    std::uint32_t count = table->count;
    for (std::uint32_t i = 0; i < system->dwNumEntries && count < kConnTableMaxRows; ++i)
        rows[count++] = ConnRow(system->table[i]);
    table->count = count;
    return 1;
}

} // namespace

int GetConnectionTable(CONN_TABLE* table)
{
    // Both references are required even when one protocol is not scanned.
    if (table == nullptr || g_pGetTcpTable == nullptr || g_pGetUdpTable == nullptr)
        return 0;
    table->count = 0;
    if (oProp.GetScanTcp() != 0 && AppendRows(g_pGetTcpTable, table) == 0)
        return 0;
    if (oProp.GetScanUdp() != 0 && AppendRows(g_pGetUdpTable, table) == 0)
        return 0;
    return 1;
}
