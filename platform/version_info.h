#pragma once

// The program's own module file and the fixed file-information record that the
// build embeds in it (see cmake/VersionRecord.cmake).
#include "platform/win_types.h"

struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

inline constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;

// The ELF section that holds the record.
inline constexpr const char kVersionSectionName[] = ".quillon_version";

// Path of the running program into `buffer`, cut to `size` - 1 characters.
// Returns the length written; `size` when the path was cut; 0 on failure.
// The program is a single module, so `module` is not consulted.
DWORD GetModuleFileNameA(void* module, char* buffer, DWORD size);

// Size of the version block of `file`; 0 when it has no valid record or
// cannot be read. `*handle` (when given) is set to 0. Here and in
// GetFileVersionInfoA the name GetModuleFileNameA gives reads the running
// image, also once its file has been replaced or deleted.
DWORD GetFileVersionInfoSizeA(const char* file, DWORD* handle);

// Reads the version block of `file` into `data` (`size` bytes, as the size
// query answered). Non-zero on success.
BOOL GetFileVersionInfoA(const char* file, DWORD handle, DWORD size, void* data);

// Queries a block filled by GetFileVersionInfoA. Only the root block "\\" is
// known: it yields the VS_FIXEDFILEINFO record. Non-zero on success.
BOOL VerQueryValueA(const void* block, const char* subBlock, void** buffer, unsigned* length);
