#include "ui/line_key.h"

#include <algorithm>
#include <arpa/inet.h>

#include "ui/conn_list_model.h"

namespace {

// Eight address bytes as one word that compares as they do.
std::uint64_t Word(const std::uint8_t* bytes)
{
    std::uint64_t word = 0;
    for (int i = 0; i < 8; ++i)
        word = word << 8 | bytes[i];
    return word;
}

} // namespace

LINE_KEY LineKey(const CONN_LINE& line)
{
    if (line.ipv6) {
        const CONN6_ROW& row = line.row6;
        const std::uint64_t udp = row.state == 0 ? 1 : 0;
        return {{std::uint64_t{1} << 56 | udp << 48, Word(row.localAddr), Word(row.localAddr + 8),
                 std::uint64_t{row.localScope} << 16 | row.localPort, Word(row.remoteAddr),
                 Word(row.remoteAddr + 8), std::uint64_t{row.remoteScope} << 16 | row.remotePort}};
    }
    const CONN_ROW& row = line.row;
    const std::uint64_t udp = row.state == 0 ? 1 : 0;
    return {{udp << 48 | std::uint64_t(ntohl(row.localAddr)) << 16 | row.localPort,
             std::uint64_t(ntohl(row.remoteAddr)) << 16 | row.remotePort}};
}

QByteArray EndpointKey(const CONN_LINE& line)
{
    const LINE_KEY key = LineKey(line);
    return QByteArray(reinterpret_cast<const char*>(key.words.data()),
                      static_cast<qsizetype>(sizeof key.words));
}

bool SameEndpoint(const CONN_LINE& a, const CONN_LINE& b)
{
    return LineKey(a) == LineKey(b);
}

KEPT_ENDS KeptEnds(const std::vector<CONN_LINE>& old, const std::vector<CONN_LINE>& fresh)
{
    KEPT_ENDS ends;
    const std::size_t shorter = std::min(old.size(), fresh.size());
    while (ends.before < shorter && SameEndpoint(old[ends.before], fresh[ends.before]))
        ++ends.before;
    while (ends.before + ends.after < shorter &&
           SameEndpoint(old[old.size() - 1 - ends.after], fresh[fresh.size() - 1 - ends.after]))
        ++ends.after;
    return ends;
}
