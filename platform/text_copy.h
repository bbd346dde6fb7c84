#pragma once

// Text copied into a caller's fixed buffer, cut to fit and always terminated.
#include <cstddef>
#include <string_view>

// Copies `text` into `buffer`, cut to `size` - 1 characters, and terminates it.
// Returns the length copied; writes nothing without a buffer or room.
inline std::size_t CopyCut(std::string_view text, char* buffer, std::size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    const std::size_t length = text.copy(buffer, size - 1);
    buffer[length] = '\0';
    return length;
}
