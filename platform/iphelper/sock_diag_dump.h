#pragma once

// The kernel's own socket tables through NETLINK_SOCK_DIAG.
#include <linux/inet_diag.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/iphelper/endpoint_row.h"

namespace iphelper {

// Receive space for one dump datagram; the kernel never sends more than 32 KiB
// at once, so a datagram that still does not fit is a real truncation.
inline constexpr std::size_t kDumpReceiveBytes = 64 * 1024;

// One socket of a dump. The kernel tells IPV6_V6ONLY only for AF_INET6
// sockets that listen or are unconnected, the ones bound to an address.
struct DumpedSocket {
    inet_diag_msg diag;
    bool v6OnlyKnown = false;
    bool v6Only = false;
};

// The IPv4 addresses of the ends that carry IPv4 traffic, in network order:
// an AF_INET socket's own; for an AF_INET6 one, its v4-mapped addresses, or
// 0.0.0.0 when it is bound to :: without IPV6_V6ONLY. False for a socket
// that takes no IPv4 traffic (IPv6-only, ::1, a real IPv6 address).
bool Ipv4Ends(const DumpedSocket& socket, std::uint32_t& local, std::uint32_t& remote);

// Takes the sockets of one dump as they arrive.
class SockDiagSink {
public:
    // A dump starts, or starts over after an interruption: forget what came before.
    virtual void Restart() = 0;
    // One AF_INET or AF_INET6 socket of the dump.
    virtual void Add(const DumpedSocket& socket) = 0;

protected:
    ~SockDiagSink() = default;
};

// Hands the AF_INET and AF_INET6 sockets of `protocol` in the caller's
// network namespace to `sink`, in the kernel's order (the families may come
// interleaved). `receive` is scratch space, grown as needed. Returns 0 or an
// errno value; an interrupted dump is retried whole, on a fresh socket. A
// kernel without IPv6 has no AF_INET6 sockets. Each calling thread keeps its
// own socket between calls.
int DumpSockDiag(Protocol protocol, SockDiagSink& sink, std::vector<char>& receive);

// The same with only the AF_INET6 sockets.
int DumpSockDiag6(Protocol protocol, SockDiagSink& sink, std::vector<char>& receive);

// Replaces `rows` with the IPv4 ends of those sockets as endpoint rows, unsorted.
int DumpSockDiag(Protocol protocol, EndpointRows& rows, std::vector<char>& receive);

// True for an AF_INET6 socket whose ends are IPv6 ones (none v4-mapped);
// fills the row's addresses and scopes, the interface index for a link-local end.
bool Ipv6Ends(const DumpedSocket& socket, MIB_TCP6ROW& row);

// Replaces `rows` with the IPv6 ends of the AF_INET6 sockets, unsorted.
int DumpSockDiag(Protocol protocol, Endpoint6Rows& rows, std::vector<char>& receive);

} // namespace iphelper
