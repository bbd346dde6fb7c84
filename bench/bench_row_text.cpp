#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/full_table.h"
#include "monitor/host_cache.h"
#include "monitor/row_text.h"
#include "settings/prop.h"

namespace {

void NameEveryAddress()
{
    static bool named = false;
    if (named)
        return;
    const CONN_TABLE* table = &FullTable();
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
    const CONN_TABLE* table = &FullTable();
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

} // namespace

BENCHMARK(BM_RowTextNamesOff)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RowTextNamesOn)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
