#pragma once

// The socket library's start and the name service, as the host-name cache needs them.
#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

inline constexpr WORD kWinsockVersion = 0x0202; // MAKEWORD(2, 2)

// Records that name lookups may run from now on; lookups fail before it.
// 0 on success. `data` is not filled: nothing of it has a meaning here.
int WSAStartup(WORD version, void* data);

// Reverse lookup of an IPv4 address (network byte order): the official host
// name into `name`, cut to `size`. 1 on an answer, 0 on failure. Thread-safe.
int LookupHostName(std::uint32_t address, char* name, std::size_t size);
// The same for an IPv6 address (16 bytes, network byte order) on the
// interface `scope` (0: none).
int LookupHostName6(const std::uint8_t* address, std::uint32_t scope, char* name, std::size_t size);

// The computer's name into `buffer`; `*size` holds the buffer's size on entry
// and the name's length on success (the size it needs on a too small buffer).
// Non-zero on success; on failure the thread's last error says why.
BOOL GetComputerNameA(char* buffer, DWORD* size);
