#include "platform/running_instance.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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

void SayGuardIsOff(const std::string& why)
{
    std::fprintf(stderr, "quillon: no single-instance guard, every launch runs: %s\n", why.c_str());
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
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

// Waits until `fd` is ready for `events` or the deadline has passed; false when
// the deadline came first. Past the deadline it still looks once.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, events, 0};
        const int ready =
            poll(&entry, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

std::string InstanceFolder(const char* runtimeDir, const std::string& home)
{
    if (runtimeDir != nullptr && runtimeDir[0] == '/' && IsPrivateFolder(runtimeDir, true))
        return runtimeDir;
    if (home.empty() || home[0] != '/') {
        SayGuardIsOff("no usable XDG_RUNTIME_DIR and no home folder");
        return {};
    }
    const std::string folder = home + "/.cache/quillon";
    for (const std::string& made : {home + "/.cache", folder}) {
        if (mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            SayGuardIsOff("cannot create " + made + ": " + std::strerror(errno));
            return {};
        }
    }
    if (!IsPrivateFolder(folder, false)) {
        SayGuardIsOff(folder + " is not a folder of this user's closed to others");
        return {};
    }
    return folder;
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
    const std::string folder = InstanceFolder(std::getenv("XDG_RUNTIME_DIR"), HomeFolder());
    if (folder.empty())
        return {};
    return folder + "/" +
           InstanceName(std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"),
                        std::getenv("XDG_RUNTIME_DIR"));
}

bool IsActivationToken(std::string_view token)
{
    return !token.empty() && token.size() <= kLongestActivationToken &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::string ShowWindowRequest(std::string_view activationToken)
{
    if (!IsActivationToken(activationToken))
        return kShowWindowRequest;
    std::string request = "show ";
    request += activationToken;
    request += '\n';
    return request;
}

bool ParseShowWindowRequest(std::string_view line, std::string& activationToken)
{
    activationToken.clear();
    if (line == kShowWindowRequest)
        return true;
    constexpr std::string_view prefix = "show ";
    if (line.size() <= prefix.size() || line.substr(0, prefix.size()) != prefix ||
        line.back() != '\n')
        return false;
    const std::string_view token = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (IsActivationToken(token))
        activationToken = token;
    return true;
}

CRunningInstance::CRunningInstance(std::string socketPath) : m_path(std::move(socketPath))
{
}

InstanceRole CRunningInstance::Claim(std::chrono::milliseconds patience,
                                     std::string_view activationToken)
{
    sockaddr_un address;
    // An empty path was reported where the folder was looked for.
    if (!SocketAddress(m_path, address)) {
        if (!m_path.empty())
            SayGuardIsOff("the socket path " + m_path + " is too long");
        return InstanceRole::Primary;
    }
    const Clock::time_point deadline = Clock::now() + patience;
    const std::string request = ShowWindowRequest(activationToken);
    for (;;) {
        ExclusiveFileLock lock(m_path, ExclusiveFileLock::Wait::No);
        if (lock.Held()) {
            m_lock.emplace(std::move(lock));
            Listen();
            return InstanceRole::Primary;
        }
        // A lock file that cannot be had at all guards nothing.
        if (!lock.Busy()) {
            SayGuardIsOff("cannot lock " + m_path + ".lock");
            return InstanceRole::Primary;
        }
        if (AskToShow(request, deadline))
            return InstanceRole::Secondary;
        if (Clock::now() >= deadline)
            return InstanceRole::Unanswered;
        std::this_thread::sleep_for(kRetryPause);
    }
}

// A running instance that cannot listen is no running instance to later
// launches: it lets the lock go, so that they run instead of waiting on it.
void CRunningInstance::Listen()
{
    sockaddr_un address;
    SocketAddress(m_path, address);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // Whatever socket is there was left by an instance that no longer holds
    // the lock, so it is dead.
    struct stat info {};
    if (fd && lstat(m_path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
        unlink(m_path.c_str());
    if (!fd || bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 8) != 0) {
        SayGuardIsOff("cannot listen on " + m_path + ": " + std::strerror(errno));
        m_lock.reset();
        return;
    }
    m_listening = std::move(fd);
}

// Connect, request and reply all end by the one deadline: the socket does not
// block, so a running instance that is stopped (its listen queue full, or its
// end never read) cannot hold a launch past its patience.
bool CRunningInstance::AskToShow(const std::string& request, Clock::time_point deadline) const
{
    sockaddr_un address;
    if (!SocketAddress(m_path, address))
        return false;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return false;
    // Refused or missing while the holder is still starting or already ending;
    // a full queue says EAGAIN at once. The caller tries again until the deadline.
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        if (errno != EINPROGRESS || !WaitFor(fd.Get(), POLLOUT, deadline) ||
            getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return false;
    }
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t count =
            send(fd.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (count > 0)
            sent += static_cast<std::size_t>(count);
        else if (count == 0 ||
                 (errno != EINTR && (errno != EAGAIN || !WaitFor(fd.Get(), POLLOUT, deadline))))
            return false;
    }
    // Closed without an answer: the instance is ending, and its lock with it.
    char reply[sizeof kWindowShownReply - 1];
    for (std::size_t got = 0; got < sizeof reply;) {
        const ssize_t count = recv(fd.Get(), reply + got, sizeof reply - got, 0);
        if (count > 0)
            got += static_cast<std::size_t>(count);
        else if (count == 0 ||
                 (errno != EINTR && (errno != EAGAIN || !WaitFor(fd.Get(), POLLIN, deadline))))
            return false;
    }
    return std::memcmp(reply, kWindowShownReply, sizeof reply) == 0;
}

void CRunningInstance::StopGuarding()
{
    m_listening.Reset();
    m_lock.reset();
}

void CRunningInstance::HoldLockUntilExit()
{
    if (m_lock)
        m_lock->HoldUntilExit();
}
