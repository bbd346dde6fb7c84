#include "platform/fd_io.h"

#include <cerrno>
#include <unistd.h>

bool WriteAll(int fd, const void* data, std::size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, next, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

ssize_t ReadAll(int fd, void* buffer, std::size_t size, off_t offset)
{
    char* next = static_cast<char*>(buffer);
    std::size_t length = 0;
    while (length < size) {
        ssize_t got = offset < 0 ? ::read(fd, next + length, size - length)
                                 : ::pread(fd, next + length, size - length,
                                           offset + static_cast<off_t>(length));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        length += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(length);
}
