#include "platform/running_instance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/fd_io.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetryPause = std::chrono::milliseconds(20);

bool IsPrivateFolder(const std::string& path, bool followLink)
{
    struct stat info {};
    if ((followLink ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

bool SocketAddress(const std::string& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

} // namespace

std::string InstanceFolder(const char* runtimeDir, const std::string& tmpRoot)
{
    if (runtimeDir != nullptr && runtimeDir[0] == '/' && IsPrivateFolder(runtimeDir, true))
        return runtimeDir;
    const std::string folder = tmpRoot + "/quillon-" + std::to_string(geteuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    // Someone else may have made it first, for us to use.
    return IsPrivateFolder(folder, false) ? folder : std::string();
}

std::string InstanceName(const char* waylandDisplay, const char* x11Display, const char* runtimeDir)
{
    std::string display;
    if (waylandDisplay != nullptr && waylandDisplay[0] != '\0') {
        display = waylandDisplay;
        // A socket named by its full path in the runtime folder is the one
        // its short name names there: one display, one instance.
        std::string folder = runtimeDir != nullptr ? runtimeDir : "";
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        if (!folder.empty() && folder[0] == '/' && display.size() > folder.size() + 1 &&
            display.compare(0, folder.size(), folder) == 0 && display[folder.size()] == '/' &&
            display.find('/', folder.size() + 1) == std::string::npos)
            display.erase(0, folder.size() + 1);
    } else if (x11Display != nullptr) {
        // ":0" and ":0.0" are the same display.
        display = x11Display;
        const std::size_t colon = display.rfind(':');
        const std::size_t dot = display.rfind('.');
        if (colon != std::string::npos && dot != std::string::npos && dot > colon + 1 &&
            dot + 1 < display.size() &&
            display.find_first_not_of("0123456789", dot + 1) == std::string::npos)
            display.erase(dot);
    }
    std::string name = "quillon-";
    for (unsigned char c : display) {
        if (std::isalnum(c) || c == '.' || c == ':' || c == '-') {
            name += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "_%02x", c);
            name += escaped;
        }
    }
    return name;
}

std::string InstanceSocketPath()
{
    const std::string folder = InstanceFolder(std::getenv("XDG_RUNTIME_DIR"));
    if (folder.empty())
        return {};
    return folder + "/" +
           InstanceName(std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"),
                        std::getenv("XDG_RUNTIME_DIR"));
}

CRunningInstance::CRunningInstance(std::string socketPath) : m_path(std::move(socketPath))
{
}

InstanceRole CRunningInstance::Claim(std::chrono::milliseconds patience)
{
    sockaddr_un address;
    if (!SocketAddress(m_path, address))
        return InstanceRole::Primary;
    const Clock::time_point deadline = Clock::now() + patience;
    for (;;) {
        ExclusiveFileLock lock(m_path, ExclusiveFileLock::Wait::No);
        if (lock.Held()) {
            m_lock.emplace(std::move(lock));
            Listen();
            return InstanceRole::Primary;
        }
        // A lock file that cannot be had at all guards nothing.
        if (!lock.Busy())
            return InstanceRole::Primary;
        if (AskToShow(deadline))
            return InstanceRole::Secondary;
        if (Clock::now() >= deadline)
            return InstanceRole::Unanswered;
        std::this_thread::sleep_for(kRetryPause);
    }
}

void CRunningInstance::Listen()
{
    sockaddr_un address;
    if (!SocketAddress(m_path, address))
        return;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return;
    // Whatever socket is there was left by an instance that no longer holds
    // the lock, so it is dead.
    struct stat info {};
    if (lstat(m_path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
        unlink(m_path.c_str());
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 8) != 0)
        return;
    m_listening = std::move(fd);
}

bool CRunningInstance::AskToShow(Clock::time_point deadline) const
{
    sockaddr_un address;
    if (!SocketAddress(m_path, address))
        return false;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // Refused or missing while the holder is still starting or already ending.
    if (!fd || connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return false;
    const std::size_t requestLength = sizeof kShowWindowRequest - 1;
    if (send(fd.Get(), kShowWindowRequest, requestLength, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(requestLength))
        return false;

    // The answer is awaited until the deadline at most; a zero timeout would mean none.
    const auto wait =
        std::max<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(1));
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(wait).count();
    const timeval timeout{static_cast<time_t>(micros / 1000000),
                          static_cast<suseconds_t>(micros % 1000000)};
    if (setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return false;
    // Closed without an answer: the instance is ending, and its lock with it.
    char reply[sizeof kWindowShownReply - 1];
    return ReadAll(fd.Get(), reply, sizeof reply) == static_cast<ssize_t>(sizeof reply) &&
           std::memcmp(reply, kWindowShownReply, sizeof reply) == 0;
}

void CRunningInstance::HoldLockUntilExit()
{
    if (m_lock)
        m_lock->HoldUntilExit();
}
