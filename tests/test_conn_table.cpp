// The snapshot from system tables shaped at will: answers and sizes the
// kernel cannot be made to give.
#include <functional>
#include <utility>

#include "monitor/conn_table.h"
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
FakeSystemTable<MIB_TCP6ROW> fakeTcp6;
FakeSystemTable<MIB_UDP6ROW> fakeUdp6;

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

// IPv6 rows that cannot be read, or do not all fit, are left out of the
// snapshot and said once until they are read again.
TEST_F(ConnectionTable, Ipv6RowsThatFailAreLeftOutAndSaidOnce)
{
    using namespace std::string_literals;
    g_pGetTcp6Table = Serve<fakeTcp6>;
    g_pGetUdp6Table = Serve<fakeUdp6>;
    oProp.SetScanIpv6(1);
    fakeTcp6.rows.assign(2, MIB_TCP6ROW{2, {}, 0, htons(80), {}, 0, 0});
    std::vector<unsigned char> bytes(kConn6TableBytes);
    auto* table6 = reinterpret_cast<CONN6_TABLE*>(bytes.data());
    const auto take = [table6] {
        testing::internal::CaptureStderr();
        const int taken = GetConnection6Table(table6);
        return std::pair{taken, testing::internal::GetCapturedStderr()};
    };
    const std::string leftOut = "quillon: the IPv6 endpoints are left out: ";
    EXPECT_EQ(take(), std::pair(1, ""s));
    EXPECT_EQ(table6->count, 2u);
    fakeUdp6.rows.resize(kConn6TableMaxRows - 1);
    EXPECT_EQ(take(), std::pair(0, leftOut + "more rows than the snapshot holds\n"));
    EXPECT_EQ(table6->count, 0u);
    fakeTcp6.sizeAnswer = 0;
    EXPECT_EQ(take(), std::pair(0, ""s));
    fakeTcp6.sizeAnswer = 122;
    fakeUdp6.rows.clear();
    EXPECT_EQ(take(), std::pair(1, ""s));
    fakeTcp6.sizeAnswer = 0;
    EXPECT_EQ(take(), std::pair(0, leftOut + "the size query failed\n"));
}
