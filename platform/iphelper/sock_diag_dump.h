#pragma once

// The kernel's own socket tables through NETLINK_SOCK_DIAG.
#include <cstddef>
#include <vector>

#include "platform/iphelper/endpoint_row.h"

namespace iphelper {

// Receive space for one dump datagram; the kernel never sends more than 32 KiB
// at once, so a datagram that still does not fit is a real truncation.
inline constexpr std::size_t kDumpReceiveBytes = 64 * 1024;

// Replaces `rows` with the AF_INET sockets of `protocol` in the caller's
// network namespace, unsorted. `receive` is scratch space, grown as needed.
// Returns 0 or an errno value; an interrupted dump is retried whole, on a
// fresh socket. Each calling thread keeps its own socket between calls.
int DumpSockDiag(Protocol protocol, EndpointRows& rows, std::vector<char>& receive);

} // namespace iphelper
