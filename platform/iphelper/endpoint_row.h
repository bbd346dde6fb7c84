#pragma once

// Rows as the kernel sources produce them: both protocols share the TCP row
// layout (a UDP row has state 0 and no remote end), so one order serves both.
#include <cstdint>
#include <vector>

#include "platform/iphelper/iphlpapi.h"

namespace iphelper {

enum class Protocol { Tcp, Udp };

using EndpointRows = std::vector<MIB_TCPROW>;
using Endpoint6Rows = std::vector<MIB_TCP6ROW>;

// Linux TCP states 1 to 12; bit 13 (bound, never listened or connected) is
// left out because such a socket is no endpoint.
inline constexpr std::uint32_t kDumpedStates = ((1u << 13) - 1) & ~1u;

// Linux tcp_states numbers to MIB_TCP_STATE; 0 for a number outside 1..12.
inline constexpr std::uint32_t MibStateFromLinux(unsigned linuxState)
{
    constexpr std::uint32_t map[13] = {
        0,
        MIB_TCP_STATE_ESTAB,      // ESTABLISHED
        MIB_TCP_STATE_SYN_SENT,   // SYN_SENT
        MIB_TCP_STATE_SYN_RCVD,   // SYN_RECV
        MIB_TCP_STATE_FIN_WAIT1,  // FIN_WAIT1
        MIB_TCP_STATE_FIN_WAIT2,  // FIN_WAIT2
        MIB_TCP_STATE_TIME_WAIT,  // TIME_WAIT
        MIB_TCP_STATE_CLOSED,     // CLOSE
        MIB_TCP_STATE_CLOSE_WAIT, // CLOSE_WAIT
        MIB_TCP_STATE_LAST_ACK,   // LAST_ACK
        MIB_TCP_STATE_LISTEN,     // LISTEN
        MIB_TCP_STATE_CLOSING,    // CLOSING
        MIB_TCP_STATE_SYN_RCVD,   // NEW_SYN_RECV
    };
    return linuxState < 13 ? map[linuxState] : 0;
}

// Ascending local address, local port, remote address, remote port, each as
// an unsigned host-order number (ports from the low 16 bits of their field),
// then the state, so equal keys still have one fixed order.
bool RowLess(const MIB_TCPROW& a, const MIB_TCPROW& b);
void SortRows(EndpointRows& rows);
// Address bytes, scope and port of the local end, then of the remote end,
// then the state.
bool RowLess(const MIB_TCP6ROW& a, const MIB_TCP6ROW& b);
void SortRows(Endpoint6Rows& rows);

} // namespace iphelper
