#pragma once

#include "monitor/conn_table.h"

// Shows a plain message box owned by the main window; the window supplies it.
using MessageBoxHook = void (*)(const char* text);
void SetDumpMessageBoxHook(MessageBoxHook hook);

// Writes one snapshot into the log, opening or closing the log as oProp says:
// the IPv4 rows, then those of `table6` when there is one.
void DumpToLogFile(const CONN_TABLE* table, const CONN6_TABLE* table6 = nullptr);
