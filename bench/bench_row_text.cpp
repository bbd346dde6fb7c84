#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "monitor/host_cache.h"
#include "monitor/row_text.h"
#include "settings/prop.h"

namespace {

// A full table: TCP rows to distinct remote addresses, then UDP listeners.
struct FullTable {
    FullTable() : buffer(std::make_unique<unsigned char[]>(kConnTableBytes))
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

FullTable& Table()
{
    static FullTable full;
    return full;
}

void NameEveryAddress()
{
    static bool named = false;
    if (named)
        return;
    const CONN_TABLE* table = Table().table;
    for (std::uint32_t i = 0; i < table->count; ++i) {
        const CONN_ROW& row = table->rows[i];
        for (std::uint32_t address : {row.localAddr, row.remoteAddr}) {
            if (address == 0)
                continue;
            std::string name = "host-" + std::to_string(ntohl(address) & 0xFFFF) + ".example.net";
            hostCache.SetName(address, name.c_str());
        }
    }
    named = true;
}

// The four cell texts of every row, as a list refill builds them.
void FormatRows(benchmark::State& state, bool names)
{
    if (names)
        NameEveryAddress();
    oProp.SetShowHost(names ? 1 : 0);
    const CONN_TABLE* table = Table().table;
    char cells[4][256];
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < table->count; ++i) {
            const CONN_ROW& row = table->rows[i];
            std::strcpy(cells[0], GetProtocolText(row));
            FormatEndpoint(row.localAddr, row.localPort, cells[1], sizeof cells[1]);
            if (row.state != 0)
                FormatEndpoint(row.remoteAddr, row.remotePort, cells[2], sizeof cells[2]);
            else
                std::strcpy(cells[2], kNoRemoteText);
            GetStateName(row.state, cells[3]);
            benchmark::DoNotOptimize(cells);
        }
    }
    state.SetItemsProcessed(state.iterations() * table->count);
}

void BM_RowTextNamesOff(benchmark::State& state)
{
    FormatRows(state, false);
}

void BM_RowTextNamesOn(benchmark::State& state)
{
    FormatRows(state, true);
}

// The floor: the same numbers through a bare snprintf.
void BM_PlainSnprintf(benchmark::State& state)
{
    const CONN_TABLE* table = Table().table;
    char cells[3][256];
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < table->count; ++i) {
            const CONN_ROW& row = table->rows[i];
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
    state.SetItemsProcessed(state.iterations() * table->count);
}

} // namespace

BENCHMARK(BM_PlainSnprintf)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RowTextNamesOff)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RowTextNamesOn)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
