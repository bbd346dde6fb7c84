#include "res/resource.h"

namespace {

struct StringResource {
    unsigned id;
    const char* text;
};

constexpr StringResource kStringTable[] = {
    {IDS_ABOUT_ITEM, "&About Quillon..."},
    {IDS_SESSION_OPENED, "Quillon session opened"},
    {IDS_PROPS_CHANGED, "Chenged properties..."},
};

} // namespace

const char* FindStringResource(unsigned id)
{
    for (const StringResource& entry : kStringTable)
        if (entry.id == id)
            return entry.text;
    return nullptr;
}
