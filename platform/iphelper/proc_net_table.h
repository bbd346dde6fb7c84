#pragma once

// The fallback source where sock_diag is unavailable: the text tables under /proc/net.
#include <string>

#include "platform/iphelper/endpoint_row.h"

namespace iphelper {

// Replaces `rows` with the IPv4 endpoints listed in `text` (whole table
// files, each with its header line), unsorted: the AF_INET sockets and the
// v4-mapped ends of AF_INET6 ones. A socket listed twice (the file is
// produced in pieces while the table changes) is kept once, by inode; lines
// that cannot be read are skipped.
void ParseProcNet(Protocol protocol, const std::string& text, EndpointRows& rows);

// Reads the IPv4 and IPv6 tables of `protocol` in the caller's network
// namespace (/proc/net/tcp and tcp6, or udp and udp6) into `text` and parses them.
// Returns 0 or an errno value.
int ReadProcNet(Protocol protocol, std::string& text, EndpointRows& rows);

// Replaces `rows` with the IPv6 endpoints in `text` (the tcp6 or udp6 file):
// every socket whose ends are not v4-mapped, kept once by inode. The file
// does not tell a link-local end's interface, so every scope is 0.
void ParseProcNet6(Protocol protocol, const std::string& text, Endpoint6Rows& rows);

// Reads /proc/net/tcp6 or udp6 into `text` and parses it; a kernel without
// IPv6 has no rows. Returns 0 or an errno value.
int ReadProcNet6(Protocol protocol, std::string& text, Endpoint6Rows& rows);

} // namespace iphelper
