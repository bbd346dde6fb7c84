// An IP helper library that lacks GetUdpTable.
#include "platform/iphelper/iphlpapi.h"

extern "C" std::uint32_t GetTcpTable(MIB_TCPTABLE* table, std::uint32_t* size, int)
{
    if (size == nullptr)
        return 87;
    if (table == nullptr || *size < sizeof(std::uint32_t)) {
        *size = sizeof(std::uint32_t);
        return 122;
    }
    table->dwNumEntries = 0;
    return 0;
}
