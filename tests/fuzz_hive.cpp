// Any bytes parse without a fault, and whatever was read survives a write and
// a second read unchanged: the written text parses completely and writes the
// same text again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hive_file.h"

namespace {

bool SameHive(const HIVE& a, const HIVE& b)
{
    const auto sameValue = [](const HIVE_VALUE& p, const HIVE_VALUE& q) {
        return p.name == q.name && p.type == q.type && p.data == q.data;
    };
    const auto sameKey = [&](const HIVE_KEY& x, const HIVE_KEY& y) {
        return x.path == y.path && std::equal(x.values.begin(), x.values.end(), y.values.begin(),
                                              y.values.end(), sameValue);
    };
    return std::equal(a.keys.begin(), a.keys.end(), b.keys.begin(), b.keys.end(), sameKey);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    HIVE first, second;
    ParseHive(std::string_view(reinterpret_cast<const char*>(data), size), &first);
    const std::string written = SerializeHive(first);
    if (ParseHive(written, &second) != 0 || !SameHive(first, second) ||
        SerializeHive(second) != written)
        std::abort();
    return 0;
}
