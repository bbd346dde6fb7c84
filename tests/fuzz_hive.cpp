// Any bytes parse without a fault, and whatever was read survives a write and
// a second read unchanged: the written text parses completely and writes the
// same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hive_file.h"

namespace {

bool SameHive(const HIVE& a, const HIVE& b)
{
    if (a.keys.size() != b.keys.size())
        return false;
    for (std::size_t k = 0; k < a.keys.size(); ++k) {
        const HIVE_KEY& x = a.keys[k];
        const HIVE_KEY& y = b.keys[k];
        if (x.path != y.path || x.values.size() != y.values.size())
            return false;
        for (std::size_t v = 0; v < x.values.size(); ++v) {
            const HIVE_VALUE& p = x.values[v];
            const HIVE_VALUE& q = y.values[v];
            if (p.name != q.name || p.type != q.type || p.data != q.data)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    HIVE first;
    ParseHive(text, &first);
    std::string written = SerializeHive(first);

    HIVE second;
    if (ParseHive(written, &second) != 0)
        std::abort();
    if (!SameHive(first, second))
        std::abort();
    if (SerializeHive(second) != written)
        std::abort();

    for (const HIVE_KEY& key : first.keys) {
        if (FindHiveKey(first, key.path) == nullptr || !HiveKeyExists(first, key.path))
            std::abort();
        for (const HIVE_VALUE& value : key.values) {
            if (FindHiveValue(key, value.name) != &value)
                std::abort();
        }
    }
    return 0;
}
