#include "platform/last_error.h"

#include <cerrno>
#include <cstring>

#include "platform/text_copy.h"

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
    char scratch[256];
    // GNU strerror_r may return a static text instead of filling scratch.
    const char* text = strerror_r(code, scratch, sizeof scratch);
    return CopyCut(text != nullptr ? text : "", buffer, size);
}
