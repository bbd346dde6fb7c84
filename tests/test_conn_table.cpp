#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "monitor/conn_table.h"
#include "settings/prop.h"

namespace {

// A system table shaped at will: its rows, what the size query answers and
// claims to need, the entry count it claims, and a row that appears before the read.
struct FakeSystemTable {
    std::vector<MIB_TCPROW> rows;
    std::uint32_t sizeAnswer = 122;
    std::uint32_t claimedSize = 0;    // 0: the real needed size
    std::uint32_t claimedEntries = 0; // 0: the real count
    bool growBeforeRead = false;
    int calls = 0;
};

FakeSystemTable fakeTcp;
FakeSystemTable fakeUdp;

template <typename Table>
std::uint32_t Serve(FakeSystemTable& fake, Table* table, std::uint32_t* size, std::size_t rowSize)
{
    ++fake.calls;
    if (table != nullptr && std::exchange(fake.growBeforeRead, false))
        fake.rows.push_back(fake.rows.back());
    const auto needed = static_cast<std::uint32_t>(4 + fake.rows.size() * rowSize);
    if (table == nullptr || *size < needed) {
        *size = table == nullptr && fake.claimedSize != 0 ? fake.claimedSize : needed;
        return table == nullptr ? fake.sizeAnswer : 122;
    }
    table->dwNumEntries = fake.claimedEntries != 0 ? fake.claimedEntries
                                                   : static_cast<std::uint32_t>(fake.rows.size());
    auto* bytes = reinterpret_cast<unsigned char*>(table) + 4;
    // A UDP row is the local address and port, the second and third words.
    for (const MIB_TCPROW& row : fake.rows) {
        std::memcpy(bytes, rowSize == sizeof row ? &row.dwState : &row.dwLocalAddr, rowSize);
        bytes += rowSize;
    }
    return 0;
}

// Row i: 10.0.x.y:(i+1) to 192.168.0.1:443 (TCP) or 127.0.x.y:(i+1) (UDP),
// with junk above each port's 16 bits.
std::vector<MIB_TCPROW> NumberedRows(std::uint32_t count, bool tcp)
{
    std::vector<MIB_TCPROW> rows;
    for (std::uint32_t i = 0; i < count; ++i)
        rows.push_back(MIB_TCPROW{tcp ? 5u : 0u, htonl((tcp ? 0x0A000000u : 0x7F000000u) | i),
                                  htons(static_cast<std::uint16_t>(i + 1)) | 0xABCD0000u,
                                  tcp ? htonl(0xC0A80001u) : 0u,
                                  tcp ? htons(443) | 0xFFFF0000u : 0u});
    return rows;
}

class ConnectionTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeTcp = FakeSystemTable{NumberedRows(3, true)};
        fakeUdp = FakeSystemTable{NumberedRows(2, false)};
        g_pGetTcpTable = [](MIB_TCPTABLE* table, std::uint32_t* size, int order) {
            EXPECT_EQ(1, order);
            return Serve(fakeTcp, table, size, sizeof(MIB_TCPROW));
        };
        g_pGetUdpTable = [](MIB_UDPTABLE* table, std::uint32_t* size, int order) {
            EXPECT_EQ(1, order);
            return Serve(fakeUdp, table, size, sizeof(MIB_UDPROW));
        };
        oProp.SetScanTcp(1);
        oProp.SetScanUdp(1);
        buffer.assign(kConnTableBytes, 0xEE);
    }

    int Take() { return GetConnectionTable(reinterpret_cast<CONN_TABLE*>(buffer.data())); }
    std::uint32_t Count() const
    {
        return reinterpret_cast<const CONN_TABLE*>(buffer.data())->count;
    }

    std::vector<unsigned char> buffer;
};

} // namespace

TEST_F(ConnectionTable, BrokenSystemAnswersFailTheSnapshot)
{
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
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

TEST_F(ConnectionTable, NothingScannedCallsNothing)
{
    oProp.SetScanTcp(0);
    oProp.SetScanUdp(0);
    ASSERT_EQ(1, Take());
    EXPECT_EQ(0u, Count());
    EXPECT_EQ(0, fakeTcp.calls + fakeUdp.calls);
}

TEST_F(ConnectionTable, FullSystemTablesFillTheTableTcpFirstAndCutUdpAt4095)
{
    fakeTcp.rows = NumberedRows(3000, true);
    fakeTcp.claimedSize = 65536; // the largest accepted
    fakeUdp.rows = NumberedRows(2000, false);
    ASSERT_EQ(1, Take());
    ASSERT_EQ(4095u, Count());
    for (std::uint32_t i = 0; i < 4095; ++i) {
        const bool tcp = i < 3000;
        const std::uint32_t n = tcp ? i : i - 3000;
        const CONN_ROW expected{tcp ? 5u : 0u, htonl((tcp ? 0x0A000000u : 0x7F000000u) | n),
                                static_cast<std::uint16_t>(n + 1), tcp ? htonl(0xC0A80001u) : 0u,
                                static_cast<std::uint16_t>(tcp ? 443 : 0)};
        ASSERT_EQ(0, std::memcmp(&expected, buffer.data() + 4 + 16 * i, 16)) << i;
    }
    for (std::size_t i = 4 + 16 * 4095; i < kConnTableBytes; ++i)
        ASSERT_EQ(0xEE, buffer[i]) << "written past the last row at " << i;
}
