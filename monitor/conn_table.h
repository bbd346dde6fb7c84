#pragma once

// One snapshot of the machine's endpoints: the IPv4 rows in a fixed,
// caller-owned buffer, and the IPv6 rows in a second one of their own.
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

struct CONN6_ROW {
    std::uint32_t state;         // MIB_TCP_STATE for TCP rows, 0 for UDP rows
    std::uint8_t localAddr[16];  // network byte order
    std::uint32_t localScope;    // interface index of a link-local address, else 0
    std::uint16_t localPort;     // host byte order
    std::uint8_t remoteAddr[16]; // all zero for UDP rows
    std::uint32_t remoteScope;
    std::uint16_t remotePort;
};

struct CONN6_TABLE {
    std::uint32_t count;
    CONN6_ROW rows[1];
};
#pragma pack(pop)

static_assert(sizeof(CONN_ROW) == 16, "a row must have no padding");
static_assert(offsetof(CONN_ROW, remoteAddr) == 10);

inline constexpr std::size_t kConnTableBytes = 65536;
inline constexpr std::uint32_t kConnTableMaxRows = 4095;
static_assert(4 + kConnTableMaxRows * sizeof(CONN_ROW) <= kConnTableBytes);
static_assert(4 + (kConnTableMaxRows + 1) * sizeof(CONN_ROW) > kConnTableBytes);

static_assert(sizeof(CONN6_ROW) == 48, "a row must have no padding");
inline constexpr std::size_t kConn6TableBytes = 65536;
inline constexpr std::uint32_t kConn6TableMaxRows = (kConn6TableBytes - 4) / sizeof(CONN6_ROW);

// The two buffers of one snapshot. `table6` holds no rows while IPv6 is not scanned.
struct CONN_SNAPSHOT {
    CONN_TABLE* table = nullptr;
    CONN6_TABLE* table6 = nullptr;
};

// Set once at start-up from the IP helper library, before the first snapshot.
extern GetTcpTableFn g_pGetTcpTable;
extern GetUdpTableFn g_pGetUdpTable;
// Optional: without them no IPv6 rows are taken.
extern GetTcp6TableFn g_pGetTcp6Table;
extern GetUdp6TableFn g_pGetUdp6Table;

// Fills `table` (kConnTableBytes bytes) from the system tables that oProp asks
// for. 1 when the snapshot was taken, 0 when it failed.
int GetConnectionTable(CONN_TABLE* table);

// Fills `table` (kConn6TableBytes bytes) with the IPv6 rows of the protocols
// that oProp asks for, or with none while oProp's IPv6 option is off. 0 when
// they could not be read or did not fit: then `table` holds no rows, and the
// first failure after a success is said once on stderr.
int GetConnection6Table(CONN6_TABLE* table);
