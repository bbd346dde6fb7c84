#pragma once

// Resource identifiers shared by the program's windows and its log.
inline constexpr unsigned IDS_ABOUT_ITEM = 101;
inline constexpr unsigned IDS_SESSION_OPENED = 102;
inline constexpr unsigned IDS_PROPS_CHANGED = 104;

// The text of a string resource, nullptr when the table has none.
const char* FindStringResource(unsigned id);
