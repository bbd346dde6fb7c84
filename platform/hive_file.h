#pragma once

// The per-user hive in the text form of registry export files: a header line,
// then one "[path]" section per key followed by its "name"=value lines.
// Pure functions over text; reading and writing the file is the registry's job.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

struct HIVE_VALUE {
    std::string name; // empty for the key's default value ("@")
    DWORD type = 0;
    std::vector<BYTE> data;
};

struct HIVE_KEY {
    std::string path; // full path from the root, e.g. "HKEY_CURRENT_USER\Software"
    std::vector<HIVE_VALUE> values;
};

struct HIVE {
    std::vector<HIVE_KEY> keys;
};

inline constexpr const char* kHiveHeader = "Windows Registry Editor Version 5.00";

// Reads every key and value that can be read from `text` into `hive` (which is
// cleared first). Returns the number of non-blank lines that could not be used;
// they are skipped, never fatal. Later sections of the same key merge into the
// first, and a later value of the same name replaces the earlier one.
std::size_t ParseHive(std::string_view text, HIVE* hive);

// The text form of `hive`; ParseHive gives the same hive back from it.
std::string SerializeHive(const HIVE& hive);

// Names compare case-insensitively in ASCII, as the registry does.
bool HiveNamesEqual(std::string_view a, std::string_view b);

HIVE_KEY* FindHiveKey(HIVE& hive, std::string_view path);
const HIVE_KEY* FindHiveKey(const HIVE& hive, std::string_view path);
// True when `path` is a key of its own or the parent of one.
bool HiveKeyExists(const HIVE& hive, std::string_view path);
HIVE_KEY& AddHiveKey(HIVE& hive, std::string_view path);

HIVE_VALUE* FindHiveValue(HIVE_KEY& key, std::string_view name);
const HIVE_VALUE* FindHiveValue(const HIVE_KEY& key, std::string_view name);
void SetHiveValue(HIVE_KEY& key, std::string_view name, DWORD type, const BYTE* data,
                  std::size_t size);
