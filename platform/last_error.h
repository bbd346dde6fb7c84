#pragma once

// The calling thread's last error: an errno value, kept per thread like the
// platform value it stands for, and its system text.
#include <cstddef>

int GetLastError();
void SetLastError(int code);

// Writes the system text for `code` (strerror_r) into `buffer`, cut to fit.
// Returns the length written, 0 when no text could be had.
std::size_t FormatSystemMessage(int code, char* buffer, std::size_t size);
