#include "monitor/table_compare.h"

#include <cstring>

int CompareConnectionTables(const CONN_TABLE* newTable, const CONN_TABLE* refTable)
{
    if (newTable == nullptr || refTable == nullptr)
        return 0;
    if (newTable->count != refTable->count)
        return 0;
    // A count no snapshot can hold would send the comparison past the buffer.
    if (newTable->count > kConnTableMaxRows)
        return 0;
    std::size_t bytes = sizeof newTable->count + sizeof(CONN_ROW) * newTable->count;
    return std::memcmp(newTable, refTable, bytes) == 0 ? 1 : 0;
}

int CompareConnection6Tables(const CONN6_TABLE* newTable, const CONN6_TABLE* refTable)
{
    if (newTable == nullptr || refTable == nullptr)
        return 0;
    if (newTable->count != refTable->count || newTable->count > kConn6TableMaxRows)
        return 0;
    std::size_t bytes = sizeof newTable->count + sizeof(CONN6_ROW) * newTable->count;
    return std::memcmp(newTable, refTable, bytes) == 0 ? 1 : 0;
}
