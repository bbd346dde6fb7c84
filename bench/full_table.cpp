#include "bench/full_table.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace {

struct FullTableBuffer {
    FullTableBuffer() : buffer(std::make_unique<unsigned char[]>(kConnTableBytes))
    {
        table = reinterpret_cast<CONN_TABLE*>(buffer.get());
        table->count = kConnTableMaxRows;
        for (std::uint32_t i = 0; i < kConnTableMaxRows; ++i) {
            CONN_ROW& row = table->rows[i];
            bool tcp = i < 3000;
            row.state = tcp ? 1 + i % 12 : 0;
            row.localAddr = htonl(0xC0A80105u + i % 4);
            row.localPort = static_cast<std::uint16_t>(tcp ? 32768 + i : 1024 + i);
            row.remoteAddr = tcp ? htonl(0x0A000000u + i) : 0;
            row.remotePort =
                static_cast<std::uint16_t>(tcp ? (i % 3 == 0 ? 443 : 8000 + i % 100) : 0);
        }
    }

    std::unique_ptr<unsigned char[]> buffer;
    CONN_TABLE* table;
};

void BM_PlainSnprintf(benchmark::State& state)
{
    const CONN_TABLE& table = FullTable();
    char cells[3][256];
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < table.count; ++i) {
            const CONN_ROW& row = table.rows[i];
            const auto* local = reinterpret_cast<const unsigned char*>(&row.localAddr);
            const auto* remote = reinterpret_cast<const unsigned char*>(&row.remoteAddr);
            std::snprintf(cells[0], sizeof cells[0], "%3u.%3u.%3u.%3u:%5u", local[0], local[1],
                          local[2], local[3], row.localPort);
            std::snprintf(cells[1], sizeof cells[1], "%3u.%3u.%3u.%3u:%5u", remote[0], remote[1],
                          remote[2], remote[3], row.remotePort);
            std::snprintf(cells[2], sizeof cells[2], "%u", row.state);
            benchmark::DoNotOptimize(cells);
        }
    }
    state.SetItemsProcessed(state.iterations() * table.count);
}

} // namespace

const CONN_TABLE& FullTable()
{
    static FullTableBuffer full;
    return *full.table;
}

BENCHMARK(BM_PlainSnprintf)->Unit(benchmark::kMicrosecond);
