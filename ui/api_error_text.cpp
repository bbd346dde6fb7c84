#include "ui/api_error_text.h"

#include <cstdio>
#include <cstring>

#include "platform/last_error.h"

namespace {

// Formats `label` + `value` + "\n" into a line buffer, cutting the value
// rather than the line break, and appends the line to `text`.
void AppendLine(char* text, std::size_t size, const char* label, const char* value)
{
    char line[kApiErrorLineSize];
    int room = static_cast<int>(sizeof line) - static_cast<int>(std::strlen(label)) - 2;
    std::snprintf(line, sizeof line, "%s%.*s\n", label, room > 0 ? room : 0, value);
    std::size_t used = std::strlen(text);
    if (used + 1 >= size)
        return;
    std::snprintf(text + used, size - used, "%s", line);
}

} // namespace

void FormatApiErrorText(const char* api, int code, char* text, std::size_t size)
{
    if (text == nullptr || size == 0)
        return;
    if (size > kApiErrorTextSize)
        size = kApiErrorTextSize;
    text[0] = '\0';

    char message[kApiErrorLineSize];
    if (FormatSystemMessage(code, message, sizeof message) == 0)
        message[0] = '\0';
    char number[16];
    std::snprintf(number, sizeof number, "%d", code);

    AppendLine(text, size, "ERROR: API        = ", api != nullptr ? api : "");
    AppendLine(text, size, "       error code = ", number);
    AppendLine(text, size, "       message    = ", message);
}
