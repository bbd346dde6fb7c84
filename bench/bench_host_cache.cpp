// A names-on refill's host texts (both endpoints of a full table's rows) while
// the cache holds 100, 10,000 and 100,000 named addresses: a long run meets
// ever more peers, and a lookup must not cost more for it. The texts go to the
// same 100 peers in each of these rows, spread over the cache, so the rows
// differ only in what the cache holds; the last row has every text go to a
// peer of its own, and so adds the memory traffic of 8190 names.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "bench/full_table.h"
#include "monitor/host_cache.h"

namespace {

constexpr std::uint32_t kHostTexts = 2 * kConnTableMaxRows;
// Coprime with both peer counts, so the texts visit the peers in no
// particular order.
constexpr std::uint32_t kStride = 37;

std::uint32_t CachedAddress(std::uint32_t index)
{
    return htonl(0x0B000000u + index);
}

// Names go straight into the cache: no address is new to it, so no resolver
// thread starts, and none could send a query, since the socket library is never
// started here. The cache only grows, so the sizes run in rising order.
void FillCache(std::uint32_t size)
{
    static std::uint32_t filled = 0;
    for (; filled < size; ++filled) {
        std::string name = "host-" + std::to_string(filled) + ".example.net";
        hostCache.SetName(CachedAddress(filled), name.c_str());
    }
}

void FormatHostTexts(benchmark::State& state, std::uint32_t cached, std::uint32_t peers)
{
    FillCache(cached);
    char text[kHostTextSize];
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < kHostTexts; ++i) {
            FormatHostAddress(CachedAddress(i * kStride % peers * (cached / peers)), text);
            benchmark::DoNotOptimize(text);
        }
    }
    if (std::strncmp(text, "host-", 5) != 0)
        state.SkipWithError("an address was not found in the cache");
    state.SetItemsProcessed(state.iterations() * kHostTexts);
}

template <std::uint32_t kCached> void BM_HostTexts(benchmark::State& state)
{
    FormatHostTexts(state, kCached, 100);
}

template <std::uint32_t kCached> void BM_HostTextsAllPeersDistinct(benchmark::State& state)
{
    FormatHostTexts(state, kCached, kHostTexts);
}

} // namespace

BENCHMARK_TEMPLATE(BM_HostTexts, 100)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_HostTexts, 10000)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_HostTexts, 100000)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_HostTextsAllPeersDistinct, 100000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
