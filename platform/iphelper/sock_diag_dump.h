#pragma once

// The kernel's own socket tables through NETLINK_SOCK_DIAG.
#include <linux/inet_diag.h>

#include <cstddef>
#include <vector>

#include "platform/iphelper/endpoint_row.h"

namespace iphelper {

// Receive space for one dump datagram; the kernel never sends more than 32 KiB
// at once, so a datagram that still does not fit is a real truncation.
inline constexpr std::size_t kDumpReceiveBytes = 64 * 1024;

// Takes the sockets of one dump as they arrive.
class SockDiagSink {
public:
    // A dump starts, or starts over after an interruption: forget what came before.
    virtual void Restart() = 0;
    // One AF_INET socket of the dump.
    virtual void Add(const inet_diag_msg& socket) = 0;

protected:
    ~SockDiagSink() = default;
};

// Hands the AF_INET sockets of `protocol` in the caller's network namespace
// to `sink`. `receive` is scratch space, grown as needed. Returns 0 or an
// errno value; an interrupted dump is retried whole, on a fresh socket. Each
// calling thread keeps its own socket between calls.
int DumpSockDiag(Protocol protocol, SockDiagSink& sink, std::vector<char>& receive);

// Replaces `rows` with those sockets as endpoint rows, unsorted.
int DumpSockDiag(Protocol protocol, EndpointRows& rows, std::vector<char>& receive);

} // namespace iphelper
