#include "platform/string_resource.h"

#include "platform/text_copy.h"
#include "res/resource.h"

int LoadStringA(unsigned id, char* buffer, int size)
{
    if (size <= 0)
        return 0;
    const char* text = FindStringResource(id);
    return static_cast<int>(
        CopyCut(text != nullptr ? text : "", buffer, static_cast<std::size_t>(size)));
}
