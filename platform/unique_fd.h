#pragma once

// Owns one file descriptor and closes it when it goes out of scope, so that
// every early return of a reader or writer leaves nothing open.
#include <unistd.h>

#include <cerrno>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    ~UniqueFd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    explicit operator bool() const { return Valid(); }

    int Release()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }

    // Keeps errno, so an error path can close and still report what failed.
    void Reset(int fd = -1)
    {
        const int saved = errno;
        if (m_fd >= 0)
            ::close(m_fd);
        errno = saved;
        m_fd = fd;
    }

    // Closes now and reports whether the close succeeded: for a written file
    // a failed close can mean lost data.
    bool Close()
    {
        int fd = Release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd = -1;
};
