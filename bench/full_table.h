#pragma once

// A full snapshot for the row-text benchmarks, and the floor they are held
// against: the same numbers through a bare snprintf (BM_PlainSnprintf).
#include "monitor/conn_table.h"

// TCP rows to distinct remote addresses, then UDP listeners; built once.
const CONN_TABLE& FullTable();
