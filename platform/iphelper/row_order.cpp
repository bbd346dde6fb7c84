#include "platform/iphelper/endpoint_row.h"

#include <arpa/inet.h>

#include <algorithm>

namespace iphelper {

namespace {

std::uint32_t AddrKey(std::uint32_t networkAddr)
{
    return ntohl(networkAddr);
}

std::uint16_t PortKey(std::uint32_t portField)
{
    return ntohs(static_cast<std::uint16_t>(portField & 0xFFFFu));
}

} // namespace

bool RowLess(const MIB_TCPROW& a, const MIB_TCPROW& b)
{
    if (AddrKey(a.dwLocalAddr) != AddrKey(b.dwLocalAddr))
        return AddrKey(a.dwLocalAddr) < AddrKey(b.dwLocalAddr);
    if (PortKey(a.dwLocalPort) != PortKey(b.dwLocalPort))
        return PortKey(a.dwLocalPort) < PortKey(b.dwLocalPort);
    if (AddrKey(a.dwRemoteAddr) != AddrKey(b.dwRemoteAddr))
        return AddrKey(a.dwRemoteAddr) < AddrKey(b.dwRemoteAddr);
    if (PortKey(a.dwRemotePort) != PortKey(b.dwRemotePort))
        return PortKey(a.dwRemotePort) < PortKey(b.dwRemotePort);
    return a.dwState < b.dwState;
}

void SortRows(EndpointRows& rows)
{
    std::sort(rows.begin(), rows.end(), RowLess);
}

} // namespace iphelper
