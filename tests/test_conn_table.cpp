// The snapshot from system tables shaped at will, the comparison of two, and
// what the kernel cannot be made to show of the IP helper library: its row
// order and its /proc parser.
#include <algorithm>
#include <functional>
#include <utility>

#include "monitor/conn_table.h"
#include "monitor/table_compare.h"
#include "platform/iphelper/endpoint_row.h"
#include "platform/iphelper/proc_net_table.h"
#include "settings/prop.h"
#include "test_support.h"

// A system table shaped at will: what its size query answers, the size it
// claims to need and the entry count it claims (0: the real ones), and a row
// that appears between the size query and the read.
template <typename Row> struct FakeSystemTable {
    std::vector<Row> rows;
    std::uint32_t sizeAnswer = 122, claimedSize = 0, claimedEntries = 0;
    bool growBeforeRead = false;
};

FakeSystemTable<MIB_TCPROW> fakeTcp;
FakeSystemTable<MIB_UDPROW> fakeUdp;

template <auto& fake, typename Table>
std::uint32_t Serve(Table* table, std::uint32_t* size, int order)
{
    EXPECT_EQ(order, 1);
    if (table != nullptr && std::exchange(fake.growBeforeRead, false))
        fake.rows.push_back(fake.rows.back());
    const auto needed = static_cast<std::uint32_t>(4 + fake.rows.size() * sizeof fake.rows[0]);
    if (table == nullptr || *size < needed) {
        *size = table == nullptr && fake.claimedSize != 0 ? fake.claimedSize : needed;
        return table == nullptr ? fake.sizeAnswer : 122;
    }
    table->dwNumEntries = fake.claimedEntries != 0 ? fake.claimedEntries : fake.rows.size();
    std::copy(fake.rows.begin(), fake.rows.end(), table->table);
    return 0;
}

// TCP row i: 10.0.x.y:(i+1) to 192.168.0.1:443; UDP row i: 127.0.x.y:(i+1).
CONN_ROW Expected(bool tcp, std::uint32_t i)
{
    const auto port = static_cast<std::uint16_t>(i + 1);
    return tcp ? CONN_ROW{5, htonl(0x0A000000u | i), port, htonl(0xC0A80001u), 443}
               : CONN_ROW{0, htonl(0x7F000000u | i), port, 0, 0};
}

// Fresh system tables of `tcp` and `udp` rows, with junk above each port's
// 16 bits, which the snapshot drops.
void Fill(std::uint32_t tcp, std::uint32_t udp)
{
    const auto field = [](std::uint16_t port) { return htons(port) | 0xABCD0000u; };
    fakeTcp = {};
    fakeUdp = {};
    for (std::uint32_t i = 0; i < tcp; ++i) {
        const CONN_ROW r = Expected(true, i);
        fakeTcp.rows.push_back(
            {r.state, r.localAddr, field(r.localPort), r.remoteAddr, field(r.remotePort)});
    }
    for (std::uint32_t i = 0; i < udp; ++i)
        fakeUdp.rows.push_back({Expected(false, i).localAddr, field(i + 1)});
}

class ConnectionTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        Fill(3, 2);
        g_pGetTcpTable = Serve<fakeTcp>;
        g_pGetUdpTable = Serve<fakeUdp>;
        oProp.SetScanTcp(1);
        oProp.SetScanUdp(1);
        buffer.assign(kConnTableBytes, 0xEE);
    }

    int Take() { return GetConnectionTable(reinterpret_cast<CONN_TABLE*>(buffer.data())); }

    std::vector<unsigned char> buffer;
};

TEST_F(ConnectionTable, BrokenSystemAnswersFailTheSnapshot)
{
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"size query answers 0", [] { fakeTcp.sizeAnswer = 0; }},
        {"needed size 65537", [] { fakeUdp.claimedSize = 65537; }},
        {"table grows before the read", [] { fakeUdp.growBeforeRead = true; }},
        {"more entries than bytes", [] { fakeTcp.claimedEntries = 1000; }},
        {"no GetUdpTable, UDP not scanned",
         [] {
             g_pGetUdpTable = nullptr;
             oProp.SetScanUdp(0);
         }},
    };
    for (const auto& [name, breakIt] : cases) {
        SCOPED_TRACE(name);
        SetUp();
        ASSERT_EQ(1, Take());
        breakIt();
        EXPECT_EQ(0, Take());
    }
}

TEST_F(ConnectionTable, FullSystemTablesFillTheTableTcpFirstAndCutUdpAt4095)
{
    Fill(3000, 2000);
    fakeTcp.claimedSize = 65536; // the largest accepted
    ASSERT_EQ(1, Take());
    ASSERT_EQ(4095u, reinterpret_cast<CONN_TABLE*>(buffer.data())->count);
    for (std::uint32_t i = 0; i < 4095; ++i) {
        const CONN_ROW expected = Expected(i < 3000, i < 3000 ? i : i - 3000);
        ASSERT_EQ(0, std::memcmp(&expected, &buffer[4 + 16 * i], 16)) << i;
    }
    for (std::size_t i = 4 + 16 * 4095; i < kConnTableBytes; ++i)
        ASSERT_EQ(0xEE, buffer[i]) << "written past the last row at " << i;
}

// Only the count and the rows it covers are compared; a count no snapshot
// can hold is refused, not followed past the buffer.
TEST(TableCompare, EqualOnlyWithTheSameRows)
{
    std::vector<unsigned char> first(kConnTableBytes + 16), second(kConnTableBytes + 16);
    auto* a = reinterpret_cast<CONN_TABLE*>(first.data());
    auto* b = reinterpret_cast<CONN_TABLE*>(second.data());
    EXPECT_EQ(CompareConnectionTables(a, b), 1);
    EXPECT_EQ(CompareConnectionTables(nullptr, b), 0);
    for (CONN_TABLE* table : {a, b}) {
        table->count = kConnTableMaxRows;
        for (std::uint32_t i = 0; i < kConnTableMaxRows; ++i)
            table->rows[i] = Expected(true, i);
    }
    EXPECT_EQ(CompareConnectionTables(a, b), 1);
    a->count = b->count = kConnTableMaxRows + 1;
    EXPECT_EQ(CompareConnectionTables(a, b), 0);
    a->count = b->count = kConnTableMaxRows;
    a->rows[kConnTableMaxRows - 1].remotePort ^= 1;
    EXPECT_EQ(CompareConnectionTables(a, b), 0);
    a->count = b->count = 20;
    std::memset(&b->rows[20], 0xAB, sizeof(CONN_ROW) * 10);
    EXPECT_EQ(CompareConnectionTables(a, b), 1);
}

// Host-order numbers in; `junk` lands above each port's low 16 bits.
MIB_TCPROW Row(std::uint32_t localAddr, std::uint16_t localPort, std::uint32_t remoteAddr = 0,
               std::uint16_t remotePort = 0, std::uint32_t state = MIB_TCP_STATE_LISTEN,
               std::uint32_t junk = 0)
{
    return MIB_TCPROW{state, htonl(localAddr), htons(localPort) | junk, htonl(remoteAddr),
                      htons(remotePort) | junk};
}

// Each pair in order: the keys compare as unsigned host-order numbers, never
// by subtraction or by the network-order word. The kernel's own sockets show
// the local keys; these are the rest.
TEST(RowOrder, KeysCompareAsUnsignedHostNumbersInTheirOrder)
{
    const std::pair<MIB_TCPROW, MIB_TCPROW> ordered[] = {
        {Row(0x00000000, 80), Row(0xC8000001, 80)},
        {Row(1, 80, 2, 0x0001), Row(1, 80, 2, 0x0100)},
        {Row(1, 1, 2, 2, 2, 0xFFFF0000), Row(1, 2, 2, 1)},
        {Row(1, 80, 0xFFFFFFFF, 65535), Row(1, 81)},
        {Row(1, 80, 2, 65535), Row(1, 80, 3, 1)},
        {Row(1, 80, 2, 1, MIB_TCP_STATE_ESTAB), Row(1, 80, 2, 1, MIB_TCP_STATE_TIME_WAIT)},
    };
    for (std::size_t i = 0; i < std::size(ordered); ++i) {
        EXPECT_TRUE(iphelper::RowLess(ordered[i].first, ordered[i].second)) << i;
        EXPECT_FALSE(iphelper::RowLess(ordered[i].second, ordered[i].first)) << i;
    }
    EXPECT_FALSE(iphelper::RowLess(ordered[2].first, Row(1, 1, 2, 2, 2, 0xABCD0000)));
}

// A socket listed twice is kept once; sockets without a file (inode 0) are
// all kept; unreadable lines and unknown states are skipped.
TEST(ProcNetText, ReadableLinesCountOncePerInode)
{
    const auto line = [](const char* local, const char* state, const char* inode) {
        return std::string("   0: ") + local + " 0700000A:01BB " + state +
               " 00000000:00000000 00:00000000 00000000     0        0 " + inode + " 1 0 100\n";
    };
    const std::string text = "  sl  local_address rem_address   st ...\n" +
                             line("0100007F:0050", "01", "77") + line("0100007F:0051", "0A", "78") +
                             line("0100007F:0050", "01", "77") + line("0100007F:9C40", "06", "0") +
                             line("0100007F:9C41", "06", "0") + line("0100007F:0052", "0D", "79") +
                             line("0100007G:0053", "0A", "80") + line("0100007F", "0A", "81") +
                             "garbage\n   4: 0100007F:0050\n";
    iphelper::EndpointRows rows;
    iphelper::ParseProcNet(iphelper::Protocol::Tcp, text, rows);
    EXPECT_EQ(4u, rows.size());
    // 127.0.0.1:80 to 10.0.0.7:443, established, as the kernel's rows hold it.
    const MIB_TCPROW listed = Row(0x7F000001, 80, 0x0A000007, 443, MIB_TCP_STATE_ESTAB);
    EXPECT_EQ(1, std::count_if(rows.begin(), rows.end(), [&](const MIB_TCPROW& row) {
                  return std::memcmp(&row, &listed, sizeof row) == 0;
              }));
}
