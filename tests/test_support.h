#pragma once

// What the tests of the plain C++ layers share: the headers most of them use,
// a scratch folder, child processes and loopback sockets.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/support/network_namespace.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr uid_t kNobody = 65534;

// A fresh folder under /tmp, removed with everything in it.
struct TempDir {
    TempDir()
    {
        if (mkdtemp(path.data()) == nullptr)
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }

    std::string path = "/tmp/quillon-test-XXXXXX";
};

// Runs `work` in a child process and gives back the child once `work` has
// written its first byte to the pipe it is handed; -1 when it never does.
template <typename Work> pid_t StartChild(Work work)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        work(ready[1]);
        _exit(0);
    }
    close(ready[1]);
    char byte;
    const bool started = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    return started ? child : -1;
}

// The exit code of `child` once it has ended; -1 when it did not exit itself.
inline int ExitCode(pid_t child)
{
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Gives up root for good: becomes user and group `id`, without other groups.
inline bool BecomeUser(uid_t id)
{
    return setgroups(0, nullptr) == 0 && setresgid(id, id, id) == 0 && setresuid(id, id, id) == 0;
}

// A socket of `type` bound to address:port, with the socket option `option`
// of `level` turned on first when one is given.
inline int Bound(int type, const char* address, std::uint16_t port, int level = 0, int option = 0)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0), on = 1;
    const sockaddr_in local{AF_INET, htons(port), {inet_addr(address)}, {}};
    if (option != 0)
        setsockopt(fd, level, option, &on, sizeof on);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local)) << address;
    return fd;
}

// An AF_INET6 socket bound to `address`:`port`, dual-stack unless `v6Only`.
inline int Bound6(int type, const char* address, std::uint16_t port, int v6Only = 0)
{
    const int fd = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    sockaddr_in6 local{AF_INET6, htons(port), 0, {}, 0};
    inet_pton(AF_INET6, address, &local.sin6_addr);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local)) << address;
    return fd;
}

inline void Connect(int fd, const char* address, std::uint16_t port)
{
    const sockaddr_in remote{AF_INET, htons(port), {inet_addr(address)}, {}};
    EXPECT_EQ(0, connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote));
}

// A connection from `from`:`port` to `listener` at `to`:`toPort` that its
// client closes first, so the client's end stays in TIME_WAIT, held by no file.
inline void LeaveInTimeWait(int listener, const char* from, std::uint16_t port, const char* to,
                            std::uint16_t toPort)
{
    const int client = Bound(SOCK_STREAM, from, port);
    Connect(client, to, toPort);
    const int server = accept(listener, nullptr, nullptr);
    char end;
    close(client);
    EXPECT_EQ(0, read(server, &end, 1));
    close(server);
}

inline std::string ReadText(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline std::vector<std::string> ReadLines(const std::string& path)
{
    std::istringstream in(ReadText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
