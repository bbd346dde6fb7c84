#include "monitor/conn_table.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/win_types.h"
#include "settings/prop.h"

GetTcpTableFn g_pGetTcpTable = nullptr;
GetUdpTableFn g_pGetUdpTable = nullptr;
GetTcp6TableFn g_pGetTcp6Table = nullptr;
GetUdp6TableFn g_pGetUdp6Table = nullptr;

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
// that were asked for. Null with the table in `scratch`, else the cause.
template <typename Table>
const char* ReadSystemTable(std::uint32_t (*read)(Table*, std::uint32_t*, int),
                            std::uint32_t maxBytes, ScratchBuffer& scratch)
{
    std::uint32_t size = 0;
    if (read(nullptr, &size, 1) != ERROR_INSUFFICIENT_BUFFER || size < sizeof(std::uint32_t))
        return "the size query failed";
    if (size > maxBytes)
        return "the table is too large";
    scratch.reset(std::malloc(size));
    auto* system = static_cast<Table*>(scratch.get());
    if (system == nullptr)
        return "out of memory";
    if (read(system, &size, 1) != NO_ERROR)
        return "reading the table failed";
    if (system->dwNumEntries > (size - sizeof(std::uint32_t)) / sizeof system->table[0])
        return "the table is damaged";
    return nullptr;
}

// The rows are appended after those already in `table`; rows beyond its
// capacity are dropped: a full table is still a snapshot.
template <typename Table>
int AppendRows(std::uint32_t (*read)(Table*, std::uint32_t*, int), CONN_TABLE* table)
{
    ScratchBuffer scratch;
    if (ReadSystemTable(read, kMaxSystemTableBytes, scratch) != nullptr)
        return 0;
    const auto* system = static_cast<const Table*>(scratch.get());
    CONN_ROW* rows = table->rows;
    std::uint32_t count = table->count;
    for (std::uint32_t i = 0; i < system->dwNumEntries && count < kConnTableMaxRows; ++i)
        rows[count++] = ConnRow(system->table[i]);
    table->count = count;
    return 1;
}

CONN6_ROW ConnRow(const MIB_TCP6ROW& row)
{
    CONN6_ROW out{};
    out.state = row.State;
    std::memcpy(out.localAddr, row.LocalAddr, sizeof out.localAddr);
    out.localScope = row.dwLocalScopeId;
    out.localPort = HostPort(row.dwLocalPort);
    std::memcpy(out.remoteAddr, row.RemoteAddr, sizeof out.remoteAddr);
    out.remoteScope = row.dwRemoteScopeId;
    out.remotePort = HostPort(row.dwRemotePort);
    return out;
}

CONN6_ROW ConnRow(const MIB_UDP6ROW& row)
{
    CONN6_ROW out{};
    std::memcpy(out.localAddr, row.ucLocalAddr, sizeof out.localAddr);
    out.localScope = row.dwLocalScopeId;
    out.localPort = HostPort(row.dwLocalPort);
    return out;
}

// A table of 52-byte rows is larger than the IPv4 ones for as many rows.
constexpr std::uint32_t kMaxSystem6TableBytes = 4 * 1024 * 1024;

// As AppendRows, but rows beyond the buffer's capacity fail the table: a cut
// IPv6 table would look like a change at every period. Null, or the cause.
template <typename Table>
const char* Append6Rows(std::uint32_t (*read)(Table*, std::uint32_t*, int), CONN6_TABLE* table)
{
    ScratchBuffer scratch;
    if (const char* cause = ReadSystemTable(read, kMaxSystem6TableBytes, scratch))
        return cause;
    const auto* system = static_cast<const Table*>(scratch.get());
    if (system->dwNumEntries > kConn6TableMaxRows - table->count)
        return "more rows than the snapshot holds";
    for (std::uint32_t i = 0; i < system->dwNumEntries; ++i)
        table->rows[table->count++] = ConnRow(system->table[i]);
    return nullptr;
}

// Set after a failure is said, cleared by the next success.
std::atomic<bool> s_ipv6FailureSaid{false};

} // namespace

int GetConnection6Table(CONN6_TABLE* table)
{
    if (table == nullptr)
        return 0;
    table->count = 0;
    if (oProp.GetScanIpv6() == 0)
        return 1;
    const char* cause = nullptr;
    if (g_pGetTcp6Table == nullptr || g_pGetUdp6Table == nullptr)
        cause = "the IP helper library has no IPv6 tables";
    if (cause == nullptr && oProp.GetScanTcp() != 0)
        cause = Append6Rows(g_pGetTcp6Table, table);
    if (cause == nullptr && oProp.GetScanUdp() != 0)
        cause = Append6Rows(g_pGetUdp6Table, table);
    if (cause == nullptr) {
        s_ipv6FailureSaid = false;
        return 1;
    }
    table->count = 0;
    if (!s_ipv6FailureSaid.exchange(true))
        std::fprintf(stderr, "quillon: the IPv6 endpoints are left out: %s\n", cause);
    return 0;
}

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
