#pragma once

// The registry operations the settings use, for HKEY_CURRENT_USER only, kept
// in one per-user hive file: $XDG_CONFIG_HOME/quillon/user.reg
// (~/.config/quillon/user.reg when the variable is unset). Every write goes
// through to the file at once, under a lock, by an atomic replace, so its
// result is real and two instances never lose each other's writes.
#include <cstddef>
#include <string>

#include "platform/win_types.h"

struct HKEY__;
using HKEY = HKEY__*;
using REGSAM = DWORD;

// The predefined root; its object lives in registry.cpp.
extern HKEY__ hkeyCurrentUserRoot;
inline constexpr HKEY HKEY_CURRENT_USER = &hkeyCurrentUserRoot;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_CREATE_LINK = 0x0020;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_BAD_PATHNAME = 161;

// Result codes: ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing key or value;
// ERROR_MORE_DATA when a value is larger than the buffer (*size then holds the
// size needed); ERROR_ACCESS_DENIED when the handle lacks the right or the hive
// cannot be read or written; ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE and
// ERROR_BAD_PATHNAME for bad arguments.
LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD reserved, char* cls, DWORD options,
                     REGSAM access, void* security, HKEY* result, DWORD* disposition);
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size);
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegCloseKey(HKEY key);

// Where the hive file is for the current environment; empty when no home folder is known.
std::string GetHiveFilePath();

// A hive file is read up to this many bytes, far past any real one; a longer
// file reads only up to it and is never saved over.
inline constexpr std::size_t kHiveReadLimit = 8 * 1024 * 1024;
