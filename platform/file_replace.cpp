#include "platform/file_replace.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace {

constexpr int kTemporaryFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW;

// Makes the rename durable. A folder the user may enter but not read cannot be
// opened for the flush and one on a file system without flushes refuses it
// (EINVAL); neither fails the save. Any other failure means the new name may
// not survive a crash, so the save is reported as failed, with errno set.
bool SyncFolder(const std::string& folder)
{
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return errno == EACCES;
    return ::fsync(fd.Get()) == 0 || errno == EINVAL;
}

// Flushes and closes a freshly written temporary, then renames it over `to`;
// the temporary is removed when any step fails.
bool CommitTemporary(UniqueFd& out, bool written, const std::string& temporary,
                     const std::string& to)
{
    bool ok = written && ::fsync(out.Get()) == 0;
    ok = out.Close() && ok;
    ok = ok && ::rename(temporary.c_str(), to.c_str()) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

bool CopyFileReplacing(const std::string& from, const std::string& to, mode_t mode)
{
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!in)
        return false;
    std::string temporary = to + ".tmp";
    UniqueFd out(::open(temporary.c_str(), kTemporaryFlags, mode));
    if (!out)
        return false;
    bool ok = true;
    char buffer[65536];
    for (;;) {
        ssize_t got = ReadAll(in.Get(), buffer, sizeof buffer);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (!WriteAll(out.Get(), buffer, static_cast<std::size_t>(got))) {
            ok = false;
            break;
        }
    }
    return CommitTemporary(out, ok, temporary, to);
}

// Keeps the file about to be replaced as "<file>.bak": a hard link when the
// file system has them, a copy otherwise.
bool KeepBackup(const std::string& target, mode_t mode)
{
    std::string backup = target + ".bak";
    if (::unlink(backup.c_str()) != 0 && errno != ENOENT)
        return false;
    if (::link(target.c_str(), backup.c_str()) == 0)
        return true;
    return CopyFileReplacing(target, backup, mode);
}

} // namespace

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool ReplaceFileAtomically(const std::string& target, std::string_view text, mode_t mode,
                           bool keepBackup)
{
    std::string temporary = target + ".tmp";
    UniqueFd out(::open(temporary.c_str(), kTemporaryFlags, mode));
    if (!out)
        return false;
    bool written = ::fchmod(out.Get(), mode) == 0 && WriteAll(out.Get(), text.data(), text.size());
    // The backup is taken once the new text is safely written, just before the swap.
    if (written && keepBackup && !KeepBackup(target, mode))
        written = false;
    if (!CommitTemporary(out, written, temporary, target))
        return false;
    return SyncFolder(FolderOf(target));
}
