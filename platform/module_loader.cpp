#include "platform/module_loader.h"

#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/last_error.h"
#include "platform/text_copy.h"
#include "platform/version_info.h"

namespace {

constexpr std::size_t kPathSize = 4096;

thread_local char loaderErrorText[512];

void SetLoaderError(int code, const char* text)
{
    CopyCut(text != nullptr ? text : "", loaderErrorText, sizeof loaderErrorText);
    SetLastError(code);
}

// "iphlpapi.dll" -> "libiphlpapi.so"; false when the result would not fit or is empty.
bool SharedObjectName(const char* name, char* out, std::size_t size)
{
    std::size_t length = std::strlen(name);
    if (length > 4 && strcasecmp(name + length - 4, ".dll") == 0)
        length -= 4;
    if (length == 0 || length + 7 > size)
        return false;
    std::memcpy(out, "lib", 3);
    for (std::size_t i = 0; i < length; ++i)
        out[3 + i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
    std::memcpy(out + 3 + length, ".so", 4);
    return true;
}

// dlopen of one absolute path. On failure, `missing` says whether the file was absent.
void* OpenPath(const char* path, bool& missing)
{
    missing = access(path, F_OK) != 0;
    if (missing)
        return nullptr;
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

HMODULE LoadFromDirectories(const char* const* directories, int count, const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        SetLoaderError(EINVAL, "no library name");
        return nullptr;
    }
    if (std::strchr(name, '/') != nullptr) {
        bool missing;
        if (void* handle = OpenPath(name, missing))
            return static_cast<HMODULE>(handle);
        if (missing) {
            char text[kPathSize + 64];
            std::snprintf(text, sizeof text, "%s: %s", name, std::strerror(ENOENT));
            SetLoaderError(ENOENT, text);
        } else {
            SetLoaderError(ENOEXEC, dlerror());
        }
        return nullptr;
    }

    char file[256];
    if (!SharedObjectName(name, file, sizeof file)) {
        SetLoaderError(EINVAL, "library name too long");
        return nullptr;
    }
    char path[kPathSize];
    for (int i = 0; i < count; ++i) {
        if (std::snprintf(path, sizeof path, "%s/%s", directories[i], file) >=
            static_cast<int>(sizeof path))
            continue;
        bool missing;
        if (void* handle = OpenPath(path, missing))
            return static_cast<HMODULE>(handle);
        if (!missing) {
            // A library that is there but cannot be loaded is the answer, not
            // a reason to take another one.
            SetLoaderError(ENOEXEC, dlerror());
            return nullptr;
        }
    }
    char text[kPathSize + 64];
    std::snprintf(text, sizeof text, "%s: cannot open shared object file: %s", file,
                  std::strerror(ENOENT));
    SetLoaderError(ENOENT, text);
    return nullptr;
}

// The program's own folder (no trailing '/'); false when it cannot be read.
bool GetProgramDirectory(char (&folder)[kPathSize])
{
    const DWORD length = GetModuleFileNameA(nullptr, folder, sizeof folder);
    char* slash = std::strrchr(folder, '/');
    if (length == 0 || length >= sizeof folder || slash == nullptr)
        return false;
    *slash = '\0';
    return true;
}

} // namespace

HMODULE LoadLibraryA(const char* name)
{
    char programDir[kPathSize];
    if (!GetProgramDirectory(programDir)) {
        SetLoaderError(errno != 0 ? errno : ENOENT, "cannot read the program's own path");
        return nullptr;
    }
    char privateDir[kPathSize + 16];
    std::snprintf(privateDir, sizeof privateDir, "%s/../lib/quillon", programDir);
    const char* directories[] = {programDir, privateDir};
    return LoadFromDirectories(directories, 2, name);
}

HMODULE LoadLibraryFromDirectory(const char* directory, const char* name)
{
    if (directory == nullptr || directory[0] != '/') {
        SetLoaderError(EINVAL, "the library folder must be an absolute path");
        return nullptr;
    }
    const char* directories[] = {directory};
    return LoadFromDirectories(directories, 1, name);
}

FARPROC GetProcAddress(HMODULE module, const char* name)
{
    if (module == nullptr || name == nullptr) {
        SetLoaderError(EINVAL, "no module or no function name");
        return nullptr;
    }
    dlerror();
    void* address = dlsym(static_cast<void*>(module), name);
    if (address == nullptr) {
        const char* text = dlerror();
        SetLoaderError(ENOENT, text != nullptr ? text : "symbol has no address");
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

const char* GetLoaderErrorText()
{
    return loaderErrorText;
}
