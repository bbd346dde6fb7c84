#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

ExclusiveFileLock::ExclusiveFileLock(const std::string& file)
{
    std::string name = file + ".lock";
    UniqueFd fd(::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return;
    while (::flock(fd.Get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return;
    }
    m_fd = std::move(fd);
}
