#include "monitor/conn_table.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <memory>

#include "settings/prop.h"

GetTcpTableFn g_pGetTcpTable = nullptr;
GetUdpTableFn g_pGetUdpTable = nullptr;

namespace {

constexpr std::uint32_t kSizeQueryAnswer = 122;
constexpr std::uint32_t kMaxSystemTableBytes = 65536;

std::uint16_t HostPort(std::uint32_t portField)
{
    return ntohs(static_cast<std::uint16_t>(portField & 0xFFFFu));
}

struct FreeScratch {
    void operator()(void* data) const { std::free(data); }
};
using ScratchBuffer = std::unique_ptr<void, FreeScratch>;

// The size query, the bound on the needed size and the read into a scratch
// buffer of exactly that size; then the entry count, which must fit the bytes
// that were asked for. Null on any failure.
template <typename Table, typename Fn>
const Table* ReadSystemTable(Fn read, ScratchBuffer& scratch, std::size_t rowSize)
{
    std::uint32_t size = 0;
    if (read(nullptr, &size, 1) != kSizeQueryAnswer)
        return nullptr;
    if (size > kMaxSystemTableBytes || size < sizeof(std::uint32_t))
        return nullptr;
    scratch.reset(std::malloc(size));
    if (scratch == nullptr)
        return nullptr;
    auto* table = static_cast<Table*>(scratch.get());
    if (read(table, &size, 1) != 0)
        return nullptr;
    if (table->dwNumEntries > (size - sizeof(std::uint32_t)) / rowSize)
        return nullptr;
    return table;
}

int AppendTcpRows(CONN_TABLE* table)
{
    ScratchBuffer scratch;
    const MIB_TCPTABLE* system =
        ReadSystemTable<MIB_TCPTABLE>(g_pGetTcpTable, scratch, sizeof(MIB_TCPROW));
    if (system == nullptr)
        return 0;
    CONN_ROW* rows = table->rows;
    const MIB_TCPROW* source = system->table;
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i < system->dwNumEntries && count < kConnTableMaxRows; ++i) {
        CONN_ROW& row = rows[count++];
        row.state = source[i].dwState;
        row.localAddr = source[i].dwLocalAddr;
        row.localPort = HostPort(source[i].dwLocalPort);
        row.remoteAddr = source[i].dwRemoteAddr;
        row.remotePort = HostPort(source[i].dwRemotePort);
    }
    table->count = count;
    return 1;
}

int AppendUdpRows(CONN_TABLE* table)
{
    ScratchBuffer scratch;
    const MIB_UDPTABLE* system =
        ReadSystemTable<MIB_UDPTABLE>(g_pGetUdpTable, scratch, sizeof(MIB_UDPROW));
    if (system == nullptr)
        return 0;
    CONN_ROW* rows = table->rows;
    const MIB_UDPROW* source = system->table;
    std::uint32_t count = table->count;
    // Rows beyond the table's capacity are dropped: a full table is still a snapshot.
    for (std::uint32_t i = 0; i < system->dwNumEntries && count < kConnTableMaxRows; ++i) {
        CONN_ROW& row = rows[count++];
        row.state = 0;
        row.localAddr = source[i].dwLocalAddr;
        row.localPort = HostPort(source[i].dwLocalPort);
        row.remoteAddr = 0;
        row.remotePort = 0;
    }
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
    if (oProp.GetScanTcp() != 0 && AppendTcpRows(table) == 0)
        return 0;
    if (oProp.GetScanUdp() != 0 && AppendUdpRows(table) == 0)
        return 0;
    return 1;
}
