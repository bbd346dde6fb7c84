#pragma once

#include "monitor/conn_table.h"

// 1 when the two snapshots hold the same rows, 0 when they differ.
int CompareConnectionTables(const CONN_TABLE* newTable, const CONN_TABLE* refTable);
int CompareConnection6Tables(const CONN6_TABLE* newTable, const CONN6_TABLE* refTable);
