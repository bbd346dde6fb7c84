#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/iphelper/endpoint_row.h"
#include "platform/iphelper/proc_net_table.h"

using iphelper::EndpointRows;
using iphelper::Protocol;
using iphelper::RowLess;

namespace {

MIB_TCPROW Row(std::uint32_t localAddr, std::uint16_t localPort, std::uint32_t remoteAddr = 0,
               std::uint16_t remotePort = 0, std::uint32_t state = MIB_TCP_STATE_LISTEN)
{
    return MIB_TCPROW{state, htonl(localAddr), htons(localPort), htonl(remoteAddr),
                      htons(remotePort)};
}

// Strict weak order in both directions: a before b, never b before a.
void ExpectOrdered(const MIB_TCPROW& a, const MIB_TCPROW& b)
{
    EXPECT_TRUE(RowLess(a, b));
    EXPECT_FALSE(RowLess(b, a));
}

} // namespace

TEST(RowOrder, AddressesCompareAsUnsignedHostNumbers)
{
    // 2^31 and more apart: a signed difference would flip these.
    ExpectOrdered(Row(0x00000000, 80), Row(0xC8000001, 80));
    ExpectOrdered(Row(0x7F000001, 80), Row(0xFFFFFFFF, 80));
    ExpectOrdered(Row(0x01000000, 80), Row(0x81000000, 80));
    // Equal low 16-bit halves, so only the high half decides; and the reverse.
    ExpectOrdered(Row(0x0A000005, 80), Row(0xC0A80005, 80));
    ExpectOrdered(Row(0x7F000001, 80), Row(0x7F000100, 80));
    // The network-order word would sort 10.0.0.2 (0x0200000A) after 192.0.0.1 (0x010000C0).
    ExpectOrdered(Row(0x0A000002, 80), Row(0xC0000001, 80));
}

TEST(RowOrder, PortsCompareInHostOrderFromTheLow16Bits)
{
    ExpectOrdered(Row(0x7F000001, 0x0001), Row(0x7F000001, 0x0100));
    ExpectOrdered(Row(0x7F000001, 80, 0x7F000002, 0x0001), Row(0x7F000001, 80, 0x7F000002, 0x0100));

    MIB_TCPROW low = Row(0x7F000001, 1);
    MIB_TCPROW high = Row(0x7F000001, 2);
    low.dwLocalPort |= 0xFFFF0000u;
    high.dwRemotePort |= 0xABCD0000u;
    ExpectOrdered(low, high);

    MIB_TCPROW same = Row(0x7F000001, 1);
    EXPECT_FALSE(RowLess(low, same));
    EXPECT_FALSE(RowLess(same, low));
}

TEST(RowOrder, KeysTakePrecedenceInOrderAndStateBreaksTies)
{
    ExpectOrdered(Row(0x7F000001, 80, 0xFFFFFFFF, 65535), Row(0x7F000001, 81, 0, 0));
    ExpectOrdered(Row(0x7F000001, 80, 0x7F000002, 65535), Row(0x7F000001, 80, 0x7F000003, 1));
    ExpectOrdered(Row(0x7F000001, 80, 0x7F000002, 1, MIB_TCP_STATE_ESTAB),
                  Row(0x7F000001, 80, 0x7F000002, 1, MIB_TCP_STATE_TIME_WAIT));
}

class ProcNetText : public ::testing::Test {
  protected:
    static constexpr const char* kHeader =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";

    EndpointRows Parse(Protocol protocol, const std::string& body)
    {
        EndpointRows rows;
        iphelper::ParseProcNet(protocol, kHeader + body, rows);
        return rows;
    }

    static std::string Line(const char* local, const char* remote, const char* state,
                            const char* inode)
    {
        return std::string("   0: ") + local + " " + remote + " " + state +
               " 00000000:00000000 00:00000000 00000000     0        0 " + inode +
               " 1 0000000000000000 100 0 0 10 0\n";
    }
};

TEST_F(ProcNetText, FieldsKeepNetworkOrderAddressesAndPorts)
{
    // 127.0.0.1:80 to 10.0.0.7:443, established.
    EndpointRows rows = Parse(Protocol::Tcp, Line("0100007F:0050", "0700000A:01BB", "01", "77"));
    ASSERT_EQ(1u, rows.size());
    const unsigned char local[4] = {127, 0, 0, 1};
    const unsigned char remote[4] = {10, 0, 0, 7};
    EXPECT_EQ(0, std::memcmp(&rows[0].dwLocalAddr, local, 4));
    EXPECT_EQ(0, std::memcmp(&rows[0].dwRemoteAddr, remote, 4));
    EXPECT_EQ(htons(80), rows[0].dwLocalPort);
    EXPECT_EQ(htons(443), rows[0].dwRemotePort);
    EXPECT_EQ(static_cast<std::uint32_t>(MIB_TCP_STATE_ESTAB), rows[0].dwState);
}

TEST_F(ProcNetText, RepeatedInodesCountOnceButFilelessSocketsAllCount)
{
    std::string body = Line("0100007F:0050", "00000000:0000", "0A", "1234") +
                       Line("0100007F:0051", "00000000:0000", "0A", "1235") +
                       Line("0100007F:0050", "00000000:0000", "0A", "1234") +
                       Line("0100007F:9C40", "0200007F:0050", "06", "0") +
                       Line("0100007F:9C41", "0200007F:0050", "06", "0");
    EXPECT_EQ(4u, Parse(Protocol::Tcp, body).size());
}

TEST_F(ProcNetText, UnreadableLinesAndStatesOutsideTheRangeAreSkipped)
{
    std::string body = "garbage\n" + Line("0100007F:0050", "00000000:0000", "0D", "5") +
                       Line("0100007F", "00000000:0000", "0A", "6") +
                       Line("0100007G:0050", "00000000:0000", "0A", "7") +
                       "   3: 0100007F:0050 00000000:0000 0A 00000000:00000000 00:00000000 "
                       "00000000     0        0\n" +
                       "   4: 0100007F:0050\n" + Line("0100007F:0050", "00000000:0000", "0A", "8");
    EndpointRows rows = Parse(Protocol::Tcp, body);
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(static_cast<std::uint32_t>(MIB_TCP_STATE_LISTEN), rows[0].dwState);
    EXPECT_TRUE(Parse(Protocol::Tcp, "").empty());
}
