#include "settings/file_version.h"

#include <cstdlib>

#include "platform/version_info.h"

CFileVersion::CFileVersion()
{
    if (ReadModuleFileName())
        ReadFileVersion();
}

int CFileVersion::ReadModuleFileName()
{
    DWORD length = GetModuleFileNameA(nullptr, fileName, sizeof fileName);
    // A cut path names another file, or none: treat it as not found.
    if (length == 0 || length >= sizeof fileName) {
        fileName[0] = '\0';
        return 0;
    }
    return 1;
}

int CFileVersion::ReadFileVersion()
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(fileName, &handle);
    if (size == 0)
        return 0;
    void* block = std::malloc(size);
    if (block == nullptr)
        return 0;
    int result = 0;
    void* value = nullptr;
    unsigned length = 0;
    if (GetFileVersionInfoA(fileName, handle, size, block) &&
        VerQueryValueA(block, "\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
        fileVersionMS = info->dwFileVersionMS;
        fileVersionLS = info->dwFileVersionLS;
        result = 1;
    }
    std::free(block);
    return result;
}
