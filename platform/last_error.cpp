#include "last_error.h"

#include <cerrno>
#include <cstring>

int GetLastError()
{
    return errno;
}

void SetLastError(int code)
{
    errno = code;
}

std::size_t FormatSystemMessage(int code, char* buffer, std::size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    char scratch[256];
    // GNU strerror_r may return a static text instead of filling scratch.
    const char* text = strerror_r(code, scratch, sizeof scratch);
    if (text == nullptr || *text == '\0') {
        buffer[0] = '\0';
        return 0;
    }
    std::size_t length = std::strlen(text);
    if (length >= size)
        length = size - 1;
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}
