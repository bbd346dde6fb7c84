#pragma once

// Which processes hold an endpoint: the socket's inode from a fresh
// sock_diag dump, then every process whose /proc/PID/fd links to
// socket:[inode]. Asked for one endpoint at a time, never per snapshot.
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct SOCKET_ENDPOINT {
    bool tcp;
    std::uint32_t localAddr; // network byte order
    std::uint16_t localPort; // host byte order
    std::uint32_t remoteAddr;
    std::uint16_t remotePort;
    // AF_INET6: the ends are these addresses (network byte order) and scopes,
    // as the IPv6 tables give them, and the two above are unused.
    int family = AF_INET;
    std::uint8_t localAddr6[16] = {};
    std::uint32_t localScope = 0;
    std::uint8_t remoteAddr6[16] = {};
    std::uint32_t remoteScope = 0;

    bool operator==(const SOCKET_ENDPOINT&) const = default;
};

struct SOCKET_HOLDER {
    pid_t pid;
    uid_t uid;
    std::string command; // the process's command name (/proc/PID/comm)
    std::string user;    // the name of uid, or its number where it has none
};

enum class SocketOwnerStatus {
    Found,     // holders names every process that holds the socket
    Gone,      // no such socket any more
    NoProcess, // the socket belongs to no process: TIME_WAIT, a connection not yet accepted
    Hidden,    // held, but by processes this user may not look into
    Failed,    // the kernel's table could not be read; error holds the errno value
};

struct SOCKET_OWNERS {
    SocketOwnerStatus status = SocketOwnerStatus::Failed;
    std::vector<SOCKET_HOLDER> holders;
    // The socket's owner as the kernel records it, for Hidden.
    uid_t socketUid = 0;
    std::string socketUser;
    int error = 0;
};

// A UDP endpoint is matched by its local end alone (the table shows no remote
// end); sockets sharing an endpoint (SO_REUSEPORT) all count.
SOCKET_OWNERS FindSocketOwners(const SOCKET_ENDPOINT& endpoint);

// The name of `uid` from the user database, or its number.
std::string UserName(uid_t uid);
