#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "monitor/table_compare.h"

namespace {

TEST(TableCompare, EqualOnlyWithTheSameRows)
{
    // One equal row of room past the snapshot, so a count it can't hold compares equal
    // unless it is refused.
    std::vector<unsigned char> first(kConnTableBytes + 16), second(kConnTableBytes + 16);
    auto* a = reinterpret_cast<CONN_TABLE*>(first.data());
    auto* b = reinterpret_cast<CONN_TABLE*>(second.data());
    EXPECT_EQ(CompareConnectionTables(a, b), 1);
    EXPECT_EQ(CompareConnectionTables(nullptr, b), 0);

    for (CONN_TABLE* table : {a, b}) {
        table->count = kConnTableMaxRows;
        for (std::uint32_t i = 0; i < kConnTableMaxRows; ++i)
            table->rows[i] = CONN_ROW{i % 12, 0x0100007Fu + i, static_cast<std::uint16_t>(i),
                                      0x0A000001u + i, static_cast<std::uint16_t>(80 + i)};
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
    a->count = 21;
    EXPECT_EQ(CompareConnectionTables(a, b), 0);
    EXPECT_EQ(CompareConnectionTables(b, a), 0);
}

} // namespace
