#pragma once

// One snapshot of the machine's IPv4 endpoints in a fixed, caller-owned buffer.
#include <cstddef>
#include <cstdint>

#include "platform/iphelper/iphlpapi.h"

#pragma pack(push, 1)
struct CONN_ROW {
    std::uint32_t state;      // MIB_TCP_STATE for TCP rows, 0 for UDP rows
    std::uint32_t localAddr;  // network byte order
    std::uint16_t localPort;  // host byte order
    std::uint32_t remoteAddr; // network byte order, 0 for UDP rows
    std::uint16_t remotePort; // host byte order, 0 for UDP rows
};

struct CONN_TABLE {
    std::uint32_t count;
    CONN_ROW rows[1];
};
#pragma pack(pop)

static_assert(sizeof(CONN_ROW) == 16, "a row must have no padding");
static_assert(offsetof(CONN_ROW, remoteAddr) == 10);

inline constexpr std::size_t kConnTableBytes = 65536;
inline constexpr std::uint32_t kConnTableMaxRows = 4095;
static_assert(4 + kConnTableMaxRows * sizeof(CONN_ROW) <= kConnTableBytes);
static_assert(4 + (kConnTableMaxRows + 1) * sizeof(CONN_ROW) > kConnTableBytes);

// Set once at start-up from the IP helper library, before the first snapshot.
extern GetTcpTableFn g_pGetTcpTable;
extern GetUdpTableFn g_pGetUdpTable;

// Fills `table` (kConnTableBytes bytes) from the system tables that oProp asks
// for. 1 when the snapshot was taken, 0 when it failed.
int GetConnectionTable(CONN_TABLE* table);
