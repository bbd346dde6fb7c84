#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "monitor/table_compare.h"

namespace {

class TableCompare : public ::testing::Test {
  protected:
    void SetUp() override
    {
        buffers[0] = std::make_unique<unsigned char[]>(kConnTableBytes);
        buffers[1] = std::make_unique<unsigned char[]>(kConnTableBytes);
        std::memset(buffers[0].get(), 0, kConnTableBytes);
        std::memset(buffers[1].get(), 0, kConnTableBytes);
    }

    CONN_TABLE* Table(int i) { return reinterpret_cast<CONN_TABLE*>(buffers[i].get()); }

    // Fills both tables with the same `count` rows.
    void Fill(std::uint32_t count)
    {
        for (int t = 0; t < 2; ++t) {
            Table(t)->count = count;
            for (std::uint32_t i = 0; i < count; ++i)
                Table(t)->rows[i] = CONN_ROW{i % 12, 0x0100007F + i, static_cast<std::uint16_t>(i),
                                             0x0A000001 + i, static_cast<std::uint16_t>(80 + i)};
        }
    }

    std::unique_ptr<unsigned char[]> buffers[2];
};

TEST_F(TableCompare, EqualTables)
{
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 1);
    Fill(kConnTableMaxRows);
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 1);
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(0)), 1);
}

TEST_F(TableCompare, AnyChangedFieldIsADifference)
{
    Fill(20);
    Table(0)->rows[19].remotePort ^= 1;
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 0);

    Fill(20);
    Table(1)->rows[0].state = 3;
    Table(0)->rows[0].state = 5;
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 0);
}

TEST_F(TableCompare, OneRowMoreIsADifference)
{
    Fill(20);
    Table(0)->count = 21;
    Table(0)->rows[20] = Table(0)->rows[19];
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 0);
    EXPECT_EQ(CompareConnectionTables(Table(1), Table(0)), 0);
}

TEST_F(TableCompare, BytesAfterTheLastRowAreIgnored)
{
    Fill(20);
    Table(0)->count = 10;
    Table(1)->count = 10;
    std::memset(&Table(1)->rows[10], 0xAB, sizeof(CONN_ROW) * 10);
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 1);
}

TEST_F(TableCompare, MissingOrImpossibleTablesDiffer)
{
    EXPECT_EQ(CompareConnectionTables(nullptr, Table(1)), 0);
    EXPECT_EQ(CompareConnectionTables(Table(0), nullptr), 0);
    // A count beyond the buffer must not send the comparison past its end.
    Table(0)->count = 0xFFFFFFFFu;
    Table(1)->count = 0xFFFFFFFFu;
    EXPECT_EQ(CompareConnectionTables(Table(0), Table(1)), 0);
}

} // namespace
