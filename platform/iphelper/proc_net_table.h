#pragma once

// The fallback source where sock_diag is unavailable: the text tables under /proc/net.
#include <string>

#include "platform/iphelper/endpoint_row.h"

namespace iphelper {

// "/proc/net/tcp" or "/proc/net/udp": the tables of the caller's network namespace.
const char* ProcNetPath(Protocol protocol);

// Replaces `rows` with the AF_INET endpoints listed in `text` (a whole table
// file, header line first), unsorted. A socket listed twice (the file is
// produced in pieces while the table changes) is kept once, by inode; lines
// that cannot be read are skipped.
void ParseProcNet(Protocol protocol, const std::string& text, EndpointRows& rows);

// Reads `path` into `text` and parses it. Returns 0 or an errno value.
int ReadProcNet(Protocol protocol, const char* path, std::string& text, EndpointRows& rows);

} // namespace iphelper
