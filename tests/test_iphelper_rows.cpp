#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/iphelper/endpoint_row.h"
#include "platform/iphelper/proc_net_table.h"

using iphelper::Protocol;
using iphelper::RowLess;

namespace {

// Host-order numbers in; `junk` lands above each port's low 16 bits.
MIB_TCPROW Row(std::uint32_t localAddr, std::uint16_t localPort, std::uint32_t remoteAddr = 0,
               std::uint16_t remotePort = 0, std::uint32_t state = MIB_TCP_STATE_LISTEN,
               std::uint32_t junk = 0)
{
    return MIB_TCPROW{state, htonl(localAddr), htons(localPort) | junk, htonl(remoteAddr),
                      htons(remotePort) | junk};
}

} // namespace

TEST(RowOrder, KeysCompareAsUnsignedHostNumbersInTheirOrder)
{
    struct Case {
        const char* why;
        MIB_TCPROW first, second;
        bool equivalent;
    };
    const std::vector<Case> cases = {
        {"2^31 and more apart", Row(0x00000000, 80), Row(0xC8000001, 80), false},
        {"equal low halves", Row(0x0A000005, 80), Row(0xC0A80005, 80), false},
        {"equal high halves", Row(0x7F000001, 80), Row(0x7F000100, 80), false},
        {"not the network-order word", Row(0x0A000002, 80), Row(0xC0000001, 80), false},
        {"local port 0x0001 before 0x0100", Row(1, 0x0001), Row(1, 0x0100), false},
        {"remote port 0x0001 before 0x0100", Row(1, 80, 2, 0x0001), Row(1, 80, 2, 0x0100), false},
        {"junk above the ports", Row(1, 1, 2, 2, 2, 0xFFFF0000), Row(1, 2, 2, 1), false},
        {"junk only", Row(1, 1, 2, 2, 2, 0xFFFF0000), Row(1, 1, 2, 2, 2, 0xABCD0000), true},
        {"local port before remote", Row(1, 80, 0xFFFFFFFF, 65535), Row(1, 81), false},
        {"remote address before port", Row(1, 80, 2, 65535), Row(1, 80, 3, 1), false},
        {"state breaks ties", Row(1, 80, 2, 1, MIB_TCP_STATE_ESTAB),
         Row(1, 80, 2, 1, MIB_TCP_STATE_TIME_WAIT), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(!c.equivalent, RowLess(c.first, c.second));
        EXPECT_FALSE(RowLess(c.second, c.first));
    }
}

TEST(ProcNetText, ReadableLinesCountOncePerInode)
{
    const auto line = [](const char* local, const char* state, const char* inode) {
        return std::string("   0: ") + local + " 0700000A:01BB " + state +
               " 00000000:00000000 00:00000000 00000000     0        0 " + inode + " 1 0 100\n";
    };
    // A socket listed twice is kept once; sockets without a file (inode 0)
    // are all kept; unreadable lines and unknown states are skipped.
    const std::string text = "  sl  local_address rem_address   st ...\n" +
                             line("0100007F:0050", "01", "77") + line("0100007F:0051", "0A", "78") +
                             line("0100007F:0050", "01", "77") + line("0100007F:9C40", "06", "0") +
                             line("0100007F:9C41", "06", "0") + line("0100007F:0052", "0D", "79") +
                             line("0100007G:0053", "0A", "80") + line("0100007F", "0A", "81") +
                             "garbage\n   4: 0100007F:0050\n";
    iphelper::EndpointRows rows;
    iphelper::ParseProcNet(Protocol::Tcp, text, rows);
    EXPECT_EQ(4u, rows.size());
    // 127.0.0.1:80 to 10.0.0.7:443, established, as the kernel's rows hold it.
    const MIB_TCPROW listed = Row(0x7F000001, 80, 0x0A000007, 443, MIB_TCP_STATE_ESTAB);
    EXPECT_EQ(1, std::count_if(rows.begin(), rows.end(), [&](const MIB_TCPROW& row) {
                  return std::memcmp(&row, &listed, sizeof row) == 0;
              }));
}
