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

// size == nullptr: 87. No buffer, or *size too small: 122 and the needed size
// in *size. Otherwise the table is written and the result is 0. A non-zero
// `order` sorts the rows by local address, local port, remote address, remote port.
IPHLPAPI_EXPORT std::uint32_t GetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int order);
IPHLPAPI_EXPORT std::uint32_t GetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int order);
}
