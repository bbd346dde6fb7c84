#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "monitor/conn_table.h"
#include "settings/prop.h"

namespace {

// A system table shaped at will: its rows, what the size query answers and
// claims to need, what the read answers, and rows that appear before the read.
struct FakeSystemTable {
    std::vector<MIB_TCPROW> rows;
    std::uint32_t sizeAnswer = 122;
    std::uint32_t claimedSize = 0; // 0: the real needed size
    std::uint32_t readAnswer = 0;
    std::uint32_t claimedEntries = 0; // 0: the real count
    int growBeforeRead = 0;
    int calls = 0;
};

FakeSystemTable fakeTcp;
FakeSystemTable fakeUdp;

template <typename Table>
std::uint32_t Serve(FakeSystemTable& fake, Table* table, std::uint32_t* size, std::size_t rowSize)
{
    ++fake.calls;
    const auto needed = [&] { return static_cast<std::uint32_t>(4 + fake.rows.size() * rowSize); };
    if (table == nullptr) {
        if (fake.sizeAnswer == 122)
            *size = fake.claimedSize != 0 ? fake.claimedSize : needed();
        return fake.sizeAnswer;
    }
    for (; fake.growBeforeRead > 0; --fake.growBeforeRead)
        fake.rows.push_back(fake.rows.back());
    if (fake.readAnswer != 0)
        return fake.readAnswer;
    if (*size < needed()) {
        *size = needed();
        return 122;
    }
    table->dwNumEntries = fake.claimedEntries != 0 ? fake.claimedEntries
                                                   : static_cast<std::uint32_t>(fake.rows.size());
    auto* bytes = reinterpret_cast<unsigned char*>(table) + 4;
    for (const MIB_TCPROW& row : fake.rows) {
        // A UDP row is the local address and port, the second and third words.
        std::memcpy(bytes, rowSize == sizeof row ? &row.dwState : &row.dwLocalAddr, rowSize);
        bytes += rowSize;
    }
    return 0;
}

std::uint32_t FakeGetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int order)
{
    EXPECT_EQ(1, order);
    return Serve(fakeTcp, table, size, sizeof(MIB_TCPROW));
}

std::uint32_t FakeGetUdpTable(MIB_UDPTABLE* table, std::uint32_t* size, int order)
{
    EXPECT_EQ(1, order);
    return Serve(fakeUdp, table, size, sizeof(MIB_UDPROW));
}

// TCP row i: 10.0.x.y:(i+1) to 192.168.0.1:443; UDP row i: 127.0.x.y:(i+1).
std::vector<MIB_TCPROW> NumberedRows(std::uint32_t count, bool tcp)
{
    std::vector<MIB_TCPROW> rows;
    for (std::uint32_t i = 0; i < count; ++i)
        rows.push_back(MIB_TCPROW{tcp ? 5u : 0u, htonl((tcp ? 0x0A000000u : 0x7F000000u) | i),
                                  htons(static_cast<std::uint16_t>(i + 1)),
                                  tcp ? htonl(0xC0A80001u) : 0u, tcp ? htons(443) : 0u});
    return rows;
}

class ConnectionTable : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fakeTcp = FakeSystemTable{};
        fakeUdp = FakeSystemTable{};
        g_pGetTcpTable = FakeGetTcpTable;
        g_pGetUdpTable = FakeGetUdpTable;
        oProp.SetScanTcp(1);
        oProp.SetScanUdp(1);
        buffer.assign(kConnTableBytes, 0xEE);
    }

    void TearDown() override
    {
        g_pGetTcpTable = nullptr;
        g_pGetUdpTable = nullptr;
    }

    int Take() { return GetConnectionTable(reinterpret_cast<CONN_TABLE*>(buffer.data())); }
    std::uint32_t Count() const
    {
        return reinterpret_cast<const CONN_TABLE*>(buffer.data())->count;
    }
    CONN_ROW Row(std::size_t i) const
    {
        CONN_ROW row;
        std::memcpy(&row, buffer.data() + 4 + 16 * i, sizeof row);
        return row;
    }

    std::vector<unsigned char> buffer;
};

} // namespace

TEST_F(ConnectionTable, RowsAreTheDocumentedBytes)
{
    // 192.168.1.10:80 to 10.0.0.7:443 in state 5; UDP port 53 on all addresses.
    MIB_TCPROW tcp{5, 0, htons(80) | 0x55AA0000u, 0, htons(443)};
    const unsigned char local[4] = {192, 168, 1, 10};
    const unsigned char remote[4] = {10, 0, 0, 7};
    std::memcpy(&tcp.dwLocalAddr, local, 4);
    std::memcpy(&tcp.dwRemoteAddr, remote, 4);
    fakeTcp.rows = {tcp};
    fakeUdp.rows = {MIB_TCPROW{0, 0, htons(53) | 0xFFFF0000u, 0, 0}};

    ASSERT_EQ(1, Take());
    ASSERT_EQ(2u, Count());
    const unsigned char tcpBytes[16] = {0x05, 0, 0,    0, 0xC0, 0xA8, 0x01, 0x0A,
                                        0x50, 0, 0x0A, 0, 0,    0x07, 0xBB, 0x01};
    const unsigned char udpBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0x35, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(buffer.data() + 4, tcpBytes, 16));
    EXPECT_EQ(0, std::memcmp(buffer.data() + 20, udpBytes, 16));
}

TEST_F(ConnectionTable, SettingsChooseTheProtocols)
{
    fakeTcp.rows = NumberedRows(3, true);
    fakeUdp.rows = NumberedRows(2, false);

    oProp.SetScanTcp(0);
    oProp.SetScanUdp(0);
    ASSERT_EQ(1, Take());
    EXPECT_EQ(0u, Count());
    EXPECT_EQ(0, fakeTcp.calls + fakeUdp.calls);

    oProp.SetScanUdp(1);
    ASSERT_EQ(1, Take());
    ASSERT_EQ(2u, Count());
    EXPECT_EQ(0u, Row(0).state);
    EXPECT_EQ(1, Row(0).localPort);
    EXPECT_EQ(0, fakeTcp.calls);
}

TEST_F(ConnectionTable, BrokenContractsFailTheSnapshot)
{
    EXPECT_EQ(0, GetConnectionTable(nullptr));

    // Both references are needed, whatever is scanned.
    oProp.SetScanUdp(0);
    g_pGetUdpTable = nullptr;
    EXPECT_EQ(0, Take());
    g_pGetUdpTable = FakeGetUdpTable;
    oProp.SetScanUdp(1);

    fakeTcp.rows = NumberedRows(2, true);
    for (std::uint32_t answer : {0u, 87u}) {
        fakeTcp.sizeAnswer = answer;
        EXPECT_EQ(0, Take()) << answer;
    }
    EXPECT_EQ(2, fakeTcp.calls);
    EXPECT_EQ(0, fakeUdp.calls);

    fakeTcp = FakeSystemTable{};
    fakeTcp.rows = NumberedRows(1, true);
    fakeTcp.readAnswer = 31;
    EXPECT_EQ(0, Take());
    EXPECT_EQ(0u, Count());

    // An entry count that the returned bytes cannot hold, and a size that
    // cannot hold even the count, are refused rather than read past.
    fakeTcp.readAnswer = 0;
    fakeTcp.claimedEntries = 1000;
    EXPECT_EQ(0, Take());
    fakeTcp = FakeSystemTable{};
    fakeTcp.claimedSize = 2;
    EXPECT_EQ(0, Take());
    EXPECT_EQ(1, fakeTcp.calls);
}

TEST_F(ConnectionTable, NeededSizeIsBoundedBy64KiB)
{
    fakeTcp.rows = NumberedRows(3276, true);
    fakeTcp.claimedSize = 65536;
    ASSERT_EQ(1, Take());
    EXPECT_EQ(3276u, Count());

    fakeTcp.calls = 0;
    fakeTcp.claimedSize = 65537;
    EXPECT_EQ(0, Take());
    EXPECT_EQ(1, fakeTcp.calls);

    fakeTcp.claimedSize = 0;
    fakeUdp.rows = NumberedRows(100, false);
    fakeUdp.claimedSize = 65537;
    EXPECT_EQ(0, Take());
}

TEST_F(ConnectionTable, TableGrowingBeforeTheReadFailsUntilTheNextScan)
{
    fakeTcp.rows = NumberedRows(10, true);
    fakeUdp.rows = NumberedRows(4, false);
    fakeUdp.growBeforeRead = 1;
    EXPECT_EQ(0, Take());
    EXPECT_EQ(10u, Count()); // still a valid table: the TCP rows so far

    ASSERT_EQ(1, Take());
    EXPECT_EQ(15u, Count());
}

TEST_F(ConnectionTable, SurplusUdpRowsAreCutAt4095)
{
    fakeTcp.rows = NumberedRows(3000, true);
    fakeUdp.rows = NumberedRows(2000, false);
    ASSERT_EQ(1, Take());
    ASSERT_EQ(4095u, Count());

    for (std::uint32_t i = 0; i < 3000; ++i) {
        const CONN_ROW row = Row(i);
        ASSERT_TRUE(row.state == 5 && row.localPort == i + 1 && row.remotePort == 443) << i;
    }
    for (std::uint32_t i = 3000; i < 4095; ++i) {
        const CONN_ROW row = Row(i);
        ASSERT_TRUE(row.state == 0 && row.localAddr == htonl(0x7F000000u | (i - 3000)) &&
                    row.localPort == i - 2999 && row.remoteAddr == 0 && row.remotePort == 0)
            << i;
    }
    for (std::size_t i = 4 + 16 * 4095; i < kConnTableBytes; ++i)
        ASSERT_EQ(0xEE, buffer[i]) << "written past the last row at " << i;
}
