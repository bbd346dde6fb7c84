#include "platform/registry.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"
#include "platform/file_lock.h"
#include "platform/file_replace.h"
#include "platform/hive_file.h"
#include "platform/unique_fd.h"

struct HKEY__ {
    std::string path;
    REGSAM access = 0;
};

// Only its address is used: the root is told apart by pointer, never read.
HKEY__ hkeyCurrentUserRoot;

namespace {

constexpr const char* kRootName = "HKEY_CURRENT_USER";

std::mutex handlesLock;
std::set<HKEY> liveHandles;

struct HIVE_SNAPSHOT {
    HIVE hive;
    std::size_t unparsed = 0;
    bool exists = false;
    mode_t mode = 0600;
};

// The path and rights behind a handle; copied out so a concurrent close cannot
// pull them away.
LONG DescribeHandle(HKEY key, std::string* path, REGSAM* access)
{
    if (key == HKEY_CURRENT_USER) {
        *path = kRootName;
        *access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> guard(handlesLock);
    if (liveHandles.count(key) == 0)
        return ERROR_INVALID_HANDLE;
    *path = key->path;
    *access = key->access;
    return ERROR_SUCCESS;
}

LONG JoinSubKey(const std::string& base, const char* subKey, std::string* path)
{
    *path = base;
    if (subKey == nullptr || *subKey == '\0')
        return ERROR_SUCCESS;
    std::string_view rest = subKey;
    if (rest.front() == '\\')
        return ERROR_BAD_PATHNAME;
    if (rest.back() == '\\')
        rest.remove_suffix(1);
    // A newline could not be written back into the section line.
    if (rest.empty() || rest.find("\\\\") != std::string_view::npos ||
        rest.find('\n') != std::string_view::npos)
        return ERROR_BAD_PATHNAME;
    *path += '\\';
    *path += rest;
    return ERROR_SUCCESS;
}

HKEY NewHandle(const std::string& path, REGSAM access)
{
    HKEY key = new HKEY__{path, access};
    std::lock_guard<std::mutex> guard(handlesLock);
    liveHandles.insert(key);
    return key;
}

bool MakeFolders(const std::string& folder)
{
    for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/')
            continue;
        std::string prefix = folder.substr(0, pos);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Reads at most kHiveReadLimit bytes; a cut at the limit ends at the last
// whole line and counts as unparsed, so a half line never reads as a value.
LONG ReadHive(const std::string& file, HIVE_SNAPSHOT* snapshot)
{
    snapshot->hive.keys.clear();
    snapshot->unparsed = 0;
    snapshot->exists = false;
    if (file.empty())
        return ERROR_SUCCESS;
    // Non-blocking open, so a fifo in the hive's place cannot hang us.
    UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return (errno == ENOENT || errno == ENOTDIR) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return ERROR_ACCESS_DENIED;
    std::string text(kHiveReadLimit + 1, '\0');
    ssize_t got = ReadAll(fd.Get(), text.data(), text.size());
    if (got < 0)
        return ERROR_ACCESS_DENIED;
    std::size_t length = static_cast<std::size_t>(got);
    bool cut = length > kHiveReadLimit;
    if (cut) {
        std::size_t lastEnd = text.rfind('\n', kHiveReadLimit - 1);
        length = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    }
    text.resize(length);
    snapshot->exists = true;
    snapshot->mode = info.st_mode & 07777;
    snapshot->unparsed = ParseHive(text, &snapshot->hive) + (cut ? 1 : 0);
    return ERROR_SUCCESS;
}

// A hive file that is a symbolic link (kept with dotfiles, say) is written
// through to where it points instead of being replaced by a plain file.
std::string WriteTarget(const std::string& file)
{
    struct stat info {};
    if (lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return file;
    char resolved[PATH_MAX];
    if (realpath(file.c_str(), resolved) == nullptr)
        return file;
    return resolved;
}

// Lock, read the current file, let `change` edit the hive, write it back.
// `change` returns false when there is nothing to write.
template <typename Change> LONG WriteThrough(Change change)
{
    std::string file = GetHiveFilePath();
    if (file.empty() || !MakeFolders(FolderOf(file)))
        return ERROR_ACCESS_DENIED;
    ExclusiveFileLock lock(file);
    if (!lock.Held())
        return ERROR_ACCESS_DENIED;
    HIVE_SNAPSHOT snapshot;
    if (ReadHive(file, &snapshot) != ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;
    if (!change(snapshot.hive))
        return ERROR_SUCCESS;
    std::string text = SerializeHive(snapshot.hive);
    // What could not be read back whole is not written.
    if (text.size() > kHiveReadLimit)
        return ERROR_NOT_ENOUGH_MEMORY;
    bool keepBackup = snapshot.exists && snapshot.unparsed > 0;
    if (!ReplaceFileAtomically(WriteTarget(file), text, snapshot.mode, keepBackup))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// The full path that `subKey` names below the key behind `key`, and that key's access.
LONG ResolveKeyPath(HKEY key, const char* subKey, std::string* path, REGSAM* baseAccess)
{
    std::string base;
    LONG status = DescribeHandle(key, &base, baseAccess);
    if (status != ERROR_SUCCESS)
        return status;
    return JoinSubKey(base, subKey, path);
}

// ERROR_SUCCESS when the key at `path` is there, ERROR_FILE_NOT_FOUND when not,
// ERROR_ACCESS_DENIED when the hive cannot be read.
LONG LookUpKey(const std::string& path)
{
    if (path == kRootName)
        return ERROR_SUCCESS;
    HIVE_SNAPSHOT snapshot;
    if (ReadHive(GetHiveFilePath(), &snapshot) != ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;
    return HiveKeyExists(snapshot.hive, path) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// The key path behind `key`, provided the handle was opened with `right`.
LONG PathWithRight(HKEY key, REGSAM right, std::string* path)
{
    REGSAM access = 0;
    LONG status = DescribeHandle(key, path, &access);
    if (status != ERROR_SUCCESS)
        return status;
    return (access & right) != 0 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace

std::string GetHiveFilePath()
{
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // Relative values are to be ignored, as for every XDG base folder.
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        std::string homeDir;
        if (home != nullptr && home[0] != '\0') {
            homeDir = home;
        } else {
            struct passwd entry {};
            struct passwd* found = nullptr;
            char buffer[4096];
            if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 &&
                found != nullptr && found->pw_dir != nullptr)
                homeDir = found->pw_dir;
        }
        if (homeDir.empty())
            return {};
        base = homeDir + "/.config";
    }
    return base + "/quillon/user.reg";
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD /*options*/, REGSAM access, HKEY* result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string path;
    REGSAM baseAccess = 0;
    LONG status = ResolveKeyPath(key, subKey, &path, &baseAccess);
    if (status == ERROR_SUCCESS)
        status = LookUpKey(path);
    if (status != ERROR_SUCCESS)
        return status;
    *result = NewHandle(path, access);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD /*reserved*/, char* /*cls*/, DWORD options,
                     REGSAM access, void* /*security*/, HKEY* result, DWORD* disposition)
{
    if (result == nullptr || subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    // Volatile keys would need a store that dies with the session; not offered.
    if (options != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    std::string path;
    REGSAM baseAccess = 0;
    LONG status = ResolveKeyPath(key, subKey, &path, &baseAccess);
    if (status != ERROR_SUCCESS)
        return status;

    // An existing key opens without touching the file, so a read-only hive still opens.
    bool created = false;
    if (LookUpKey(path) != ERROR_SUCCESS) {
        if ((baseAccess & KEY_CREATE_SUB_KEY) == 0)
            return ERROR_ACCESS_DENIED;
        status = WriteThrough([&](HIVE& hive) {
            if (HiveKeyExists(hive, path))
                return false;
            AddHiveKey(hive, path);
            created = true;
            return true;
        });
        if (status != ERROR_SUCCESS)
            return status;
    }
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(path, access);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size)
{
    if (reserved != nullptr || (data != nullptr && size == nullptr))
        return ERROR_INVALID_PARAMETER;
    std::string path;
    LONG status = PathWithRight(key, KEY_QUERY_VALUE, &path);
    if (status != ERROR_SUCCESS)
        return status;
    HIVE_SNAPSHOT snapshot;
    if (ReadHive(GetHiveFilePath(), &snapshot) != ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;
    const HIVE_KEY* stored = FindHiveKey(snapshot.hive, path);
    const HIVE_VALUE* value = stored ? FindHiveValue(*stored, name ? name : "") : nullptr;
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    DWORD needed = static_cast<DWORD>(value->data.size());
    if (type != nullptr)
        *type = value->type;
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed != 0)
            std::memcpy(data, value->data.data(), needed);
    }
    if (size != nullptr)
        *size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD /*reserved*/, DWORD type, const BYTE* data,
                    DWORD size)
{
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    std::string_view valueName = name ? name : "";
    if (valueName.find('\n') != std::string_view::npos)
        return ERROR_INVALID_PARAMETER;
    std::string path;
    LONG status = PathWithRight(key, KEY_SET_VALUE, &path);
    if (status != ERROR_SUCCESS)
        return status;
    // A key removed from the file behind the handle's back is put back.
    return WriteThrough([&](HIVE& hive) {
        SetHiveValue(AddHiveKey(hive, path), valueName, type, data, size);
        return true;
    });
}

LONG RegCloseKey(HKEY key)
{
    if (key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(handlesLock);
        if (liveHandles.erase(key) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}
