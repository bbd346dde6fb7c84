#include "platform/string_resource.h"

#include <cstring>

#include "res/resource.h"

int LoadStringA(unsigned id, char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = '\0';
    const char* text = FindStringResource(id);
    if (text == nullptr)
        return 0;
    std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(size - 1))
        length = static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}
