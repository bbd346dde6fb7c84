#pragma once

// The text of the API error report: three lines naming the failed operation,
// the error code and the system's text for it.
#include <cstddef>

inline constexpr std::size_t kApiErrorTextSize = 1024;
inline constexpr std::size_t kApiErrorLineSize = 256;

// Builds the report for `api` and `code` into `text` (`size` bytes, at most
// kApiErrorTextSize are used). Each line is cut to fit its 256-byte line
// buffer, keeping its line break.
void FormatApiErrorText(const char* api, int code, char* text, std::size_t size);
