#include "ui/line_key.h"

#include <algorithm>
#include <cstring>

#include "ui/conn_list_model.h"

namespace {

void Append(QByteArray& key, const void* field, std::size_t size)
{
    key.append(static_cast<const char*>(field), static_cast<qsizetype>(size));
}

} // namespace

QByteArray EndpointKey(const CONN_LINE& line)
{
    if (line.ipv6) {
        const CONN6_ROW& row = line.row6;
        QByteArray key;
        key.reserve(45);
        key.append(row.state != 0 ? 't' : 'u');
        Append(key, row.localAddr, sizeof row.localAddr);
        Append(key, &row.localScope, sizeof row.localScope);
        Append(key, &row.localPort, sizeof row.localPort);
        Append(key, row.remoteAddr, sizeof row.remoteAddr);
        Append(key, &row.remoteScope, sizeof row.remoteScope);
        Append(key, &row.remotePort, sizeof row.remotePort);
        return key;
    }
    const CONN_ROW& row = line.row;
    QByteArray key;
    key.reserve(17);
    key.append(row.state != 0 ? 'T' : 'U');
    Append(key, &row.localAddr, sizeof row.localAddr);
    Append(key, &row.localPort, sizeof row.localPort);
    Append(key, &row.remoteAddr, sizeof row.remoteAddr);
    Append(key, &row.remotePort, sizeof row.remotePort);
    return key;
}

bool SameEndpoint(const CONN_LINE& a, const CONN_LINE& b)
{
    if (a.ipv6 || b.ipv6) {
        const CONN6_ROW& x = a.row6;
        const CONN6_ROW& y = b.row6;
        return a.ipv6 == b.ipv6 && (x.state != 0) == (y.state != 0) &&
               std::memcmp(x.localAddr, y.localAddr, sizeof x.localAddr) == 0 &&
               x.localScope == y.localScope && x.localPort == y.localPort &&
               std::memcmp(x.remoteAddr, y.remoteAddr, sizeof x.remoteAddr) == 0 &&
               x.remoteScope == y.remoteScope && x.remotePort == y.remotePort;
    }
    const CONN_ROW& x = a.row;
    const CONN_ROW& y = b.row;
    return (x.state != 0) == (y.state != 0) && x.localAddr == y.localAddr &&
           x.localPort == y.localPort && x.remoteAddr == y.remoteAddr &&
           x.remotePort == y.remotePort;
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
