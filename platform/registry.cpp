#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
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
#include "platform/hive_text_form.h"
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
    // Every byte of the file was read and decoded.
    bool whole = true;
    mode_t mode = 0600;
    HIVE_TEXT_FORM form;
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

// Reads the hive whole when it is within kHiveReadLimit; past that only the
// lines before the limit are read, and the snapshot is not whole, so a half
// line never reads as a value and nothing unread is written over.
LONG ReadHive(const std::string& file, HIVE_SNAPSHOT* snapshot)
{
    snapshot->hive.keys.clear();
    snapshot->unparsed = 0;
    snapshot->exists = false;
    snapshot->whole = true;
    if (file.empty())
        return ERROR_SUCCESS;
    // Non-blocking open, so a fifo in the hive's place cannot hang us.
    UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return (errno == ENOENT || errno == ENOTDIR) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    struct stat info {};
    if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return ERROR_ACCESS_DENIED;
    std::string bytes(
        std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kHiveReadLimit) + 1, '\0');
    ssize_t got = ReadAll(fd.Get(), bytes.data(), bytes.size());
    if (got < 0)
        return ERROR_ACCESS_DENIED;
    // A file that grew between fstat and read is read again to its end or the limit.
    while (static_cast<std::size_t>(got) == bytes.size() && bytes.size() <= kHiveReadLimit) {
        bytes.resize(std::min(bytes.size() * 2, kHiveReadLimit + 1));
        ssize_t more =
            ReadAll(fd.Get(), bytes.data() + got, bytes.size() - static_cast<std::size_t>(got));
        if (more < 0)
            return ERROR_ACCESS_DENIED;
        got += more;
    }
    bool cut = static_cast<std::size_t>(got) > kHiveReadLimit;
    bytes.resize(cut ? kHiveReadLimit : static_cast<std::size_t>(got));
    std::string text;
    snapshot->whole = DecodeHiveText(bytes, &text, &snapshot->form) && !cut;
    if (!snapshot->whole) {
        std::size_t lastEnd = text.rfind('\n');
        text.resize(lastEnd == std::string::npos ? 0 : lastEnd + 1);
    }
    snapshot->exists = true;
    snapshot->mode = info.st_mode & 07777;
    snapshot->unparsed = ParseHive(text, &snapshot->hive) + (snapshot->whole ? 0 : 1);
    return ERROR_SUCCESS;
}

// Says on stderr why a save was refused, once until the cause changes or a
// save goes through: one settings change makes several writes.
void ReportRefusedSave(const std::string& file, const std::string& cause)
{
    static std::mutex reportLock;
    static std::string lastReport;
    std::string report = file + ": " + cause;
    std::lock_guard<std::mutex> guard(reportLock);
    if (cause.empty() || report == lastReport) {
        lastReport = cause.empty() ? std::string() : report;
        return;
    }
    lastReport = report;
    std::fprintf(stderr, "quillon: the settings were not saved to %s\n", report.c_str());
}

// Where a save writes: the hive file, or for a symbolic link (kept with
// dotfiles, say) the end of its chain of links, which need not exist yet.
// Empty, with `cause` set, for a chain that does not end.
std::string WriteTarget(const std::string& file, std::string* cause)
{
    std::string path = file;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        char link[PATH_MAX];
        ssize_t length = readlink(path.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) == sizeof link)
            break;
        std::string next(link, static_cast<std::size_t>(length));
        path = next.front() == '/' ? next : FolderOf(path) + "/" + next;
    }
    *cause = "its symbolic links do not lead to a file";
    return {};
}

// Why `target` may not be replaced, empty when it may: a file its owner made
// read-only keeps its contents even for a user whose rights would override that.
std::string WriteRefusal(const std::string& target, const HIVE_SNAPSHOT& snapshot)
{
    if (!snapshot.whole)
        return "it is larger than " + std::to_string(kHiveReadLimit) +
               " bytes or not whole text, and saving would lose what was not read";
    struct stat info {};
    if (stat(target.c_str(), &info) != 0)
        return {};
    if ((info.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0)
        return "the file is read-only";
    return {};
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
    std::string cause;
    std::string target = WriteTarget(file, &cause);
    if (cause.empty())
        cause = WriteRefusal(target, snapshot);
    std::string bytes;
    if (cause.empty() && !EncodeHiveText(SerializeHive(snapshot.hive), snapshot.form, &bytes))
        cause = "a value is not UTF-8 text and the file is UTF-16";
    // What could not be read back whole is not written.
    if (cause.empty() && bytes.size() > kHiveReadLimit) {
        ReportRefusedSave(file, "the settings would be larger than the file may be");
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!cause.empty()) {
        ReportRefusedSave(file, cause);
        return ERROR_ACCESS_DENIED;
    }
    bool keepBackup = snapshot.exists && snapshot.unparsed > 0;
    if (!ReplaceFileAtomically(target, bytes, snapshot.mode, keepBackup)) {
        ReportRefusedSave(file, std::string("writing it failed: ") + std::strerror(errno));
        return ERROR_ACCESS_DENIED;
    }
    ReportRefusedSave(file, {});
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
