#pragma once

// The IP helper library's tables and its two exported functions.
#include <cstdint>

#define IPHLPAPI_EXPORT __attribute__((visibility("default")))

extern "C" {

struct MIB_TCPROW {
    std::uint32_t dwState;
    std::uint32_t dwLocalAddr;
    std::uint32_t dwLocalPort;
    std::uint32_t dwRemoteAddr;
    std::uint32_t dwRemotePort;
};

struct MIB_TCPTABLE {
    std::uint32_t dwNumEntries;
    MIB_TCPROW table[1];
};

struct MIB_UDPROW {
    std::uint32_t dwLocalAddr;
    std::uint32_t dwLocalPort;
};

struct MIB_UDPTABLE {
    std::uint32_t dwNumEntries;
    MIB_UDPROW table[1];
};

// IPv6 rows: addresses as their 16 bytes in network order, the scope (the
// interface index of a link-local address, else 0) and the port as above.
struct MIB_TCP6ROW {
    std::uint32_t State;
    std::uint8_t LocalAddr[16];
    std::uint32_t dwLocalScopeId;
    std::uint32_t dwLocalPort;
    std::uint8_t RemoteAddr[16];
    std::uint32_t dwRemoteScopeId;
    std::uint32_t dwRemotePort;
};

struct MIB_TCP6TABLE {
    std::uint32_t dwNumEntries;
    MIB_TCP6ROW table[1];
};

struct MIB_UDP6ROW {
    std::uint8_t ucLocalAddr[16];
    std::uint32_t dwLocalScopeId;
    std::uint32_t dwLocalPort;
};

struct MIB_UDP6TABLE {
    std::uint32_t dwNumEntries;
    MIB_UDP6ROW table[1];
};

static_assert(sizeof(MIB_TCP6ROW) == 52);
static_assert(sizeof(MIB_UDP6ROW) == 24);

enum MIB_TCP_STATE : std::uint32_t {
    MIB_TCP_STATE_CLOSED = 1,
    MIB_TCP_STATE_LISTEN = 2,
    MIB_TCP_STATE_SYN_SENT = 3,
    MIB_TCP_STATE_SYN_RCVD = 4,
    MIB_TCP_STATE_ESTAB = 5,
    MIB_TCP_STATE_FIN_WAIT1 = 6,
    MIB_TCP_STATE_FIN_WAIT2 = 7,
    MIB_TCP_STATE_CLOSE_WAIT = 8,
    MIB_TCP_STATE_CLOSING = 9,
    MIB_TCP_STATE_LAST_ACK = 10,
    MIB_TCP_STATE_TIME_WAIT = 11,
    MIB_TCP_STATE_DELETE_TCB = 12,
};

using GetTcpTableFn = std::uint32_t (*)(MIB_TCPTABLE* table, std::uint32_t* size, int order);
using GetUdpTableFn = std::uint32_t (*)(MIB_UDPTABLE* table, std::uint32_t* size, int order);
using GetTcp6TableFn = std::uint32_t (*)(MIB_TCP6TABLE* table, std::uint32_t* size, int order);
using GetUdp6TableFn = std::uint32_t (*)(MIB_UDP6TABLE* table, std::uint32_t* size, int order);

// size == nullptr: 87. No buffer, or *size too small: 122 and the needed size
// in *size. Otherwise the table is written and the result is 0. A non-zero
// `order` sorts the rows by local address, local port, remote address, remote port.
IPHLPAPI_EXPORT std::uint32_t GetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int order);
IPHLPAPI_EXPORT std::uint32_t GetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int order);
// The same for the IPv6 ends: every AF_INET6 socket but those carrying IPv4
// (v4-mapped), so a dual-stack socket on :: is listed here and in the IPv4
// tables. The order compares address bytes, scope, port, then the remote end.
IPHLPAPI_EXPORT std::uint32_t GetTcp6Table(MIB_TCP6TABLE* table, std::uint32_t* size, int order);
IPHLPAPI_EXPORT std::uint32_t GetUdp6Table(MIB_UDP6TABLE* table, std::uint32_t* size, int order);
}
