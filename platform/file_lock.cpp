#include "platform/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

ExclusiveFileLock::ExclusiveFileLock(const std::string& file, Wait wait)
{
    std::string name = file + ".lock";
    UniqueFd fd(::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return;
    const int operation = wait == Wait::UntilFree ? LOCK_EX : LOCK_EX | LOCK_NB;
    while (::flock(fd.Get(), operation) != 0) {
        m_busy = errno == EWOULDBLOCK;
        if (errno != EINTR)
            return;
    }
    m_fd = std::move(fd);
}
