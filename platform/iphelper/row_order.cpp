#include "platform/iphelper/endpoint_row.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

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
    std::sort(rows.begin(), rows.end(),
              [](const MIB_TCPROW& a, const MIB_TCPROW& b) { return RowLess(a, b); });
}

bool RowLess(const MIB_TCP6ROW& a, const MIB_TCP6ROW& b)
{
    if (int order = std::memcmp(a.LocalAddr, b.LocalAddr, sizeof a.LocalAddr); order != 0)
        return order < 0;
    if (a.dwLocalScopeId != b.dwLocalScopeId)
        return a.dwLocalScopeId < b.dwLocalScopeId;
    if (PortKey(a.dwLocalPort) != PortKey(b.dwLocalPort))
        return PortKey(a.dwLocalPort) < PortKey(b.dwLocalPort);
    if (int order = std::memcmp(a.RemoteAddr, b.RemoteAddr, sizeof a.RemoteAddr); order != 0)
        return order < 0;
    if (a.dwRemoteScopeId != b.dwRemoteScopeId)
        return a.dwRemoteScopeId < b.dwRemoteScopeId;
    if (PortKey(a.dwRemotePort) != PortKey(b.dwRemotePort))
        return PortKey(a.dwRemotePort) < PortKey(b.dwRemotePort);
    return a.State < b.State;
}

void SortRows(Endpoint6Rows& rows)
{
    std::sort(rows.begin(), rows.end(),
              [](const MIB_TCP6ROW& a, const MIB_TCP6ROW& b) { return RowLess(a, b); });
}

} // namespace iphelper
