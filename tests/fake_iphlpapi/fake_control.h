#pragma once

// The controls of the test IP helper library, which the tests link.
#include <cstdint>

#include "platform/iphelper/iphlpapi.h"

using FakeTableHook = void (*)();

extern "C" {
void FakeSetTcpRows(const MIB_TCPROW* rows, std::uint32_t count);
void FakeSetUdpRows(const MIB_UDPROW* rows, std::uint32_t count);
void FakeSetTcp6Rows(const MIB_TCP6ROW* rows, std::uint32_t count);
void FakeSetUdp6Rows(const MIB_UDP6ROW* rows, std::uint32_t count);
// A non-zero code makes both tables fail with it; 0 lets them answer again.
void FakeSetFailure(std::uint32_t code);
// Called at the start of every TCP table call (once per snapshot).
void FakeSetTcpHook(FakeTableHook hook);
}
