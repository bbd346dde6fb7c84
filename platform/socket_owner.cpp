#include "platform/socket_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "platform/fd_io.h"
#include "platform/iphelper/sock_diag_dump.h"
#include "platform/unique_fd.h"

namespace {

struct DIAG_MATCH {
    std::uint64_t inode; // 0: the socket has no file, so no process holds it
    uid_t uid;
};

// The dumped sockets on the asked endpoint.
class EndpointSink final : public iphelper::SockDiagSink {
public:
    explicit EndpointSink(const SOCKET_ENDPOINT& endpoint) : m_endpoint(endpoint) {}

    void Restart() override { matches.clear(); }

    void Add(const iphelper::DumpedSocket& socket) override
    {
        const inet_diag_msg& diag = socket.diag;
        if (ntohs(diag.id.idiag_sport) != m_endpoint.localPort ||
            (m_endpoint.tcp && ntohs(diag.id.idiag_dport) != m_endpoint.remotePort) ||
            !AddressesMatch(socket))
            return;
        matches.push_back({diag.idiag_inode, diag.idiag_uid});
    }

    std::vector<DIAG_MATCH> matches;

private:
    // The addresses as the tables show them: a dual-stack socket has an
    // IPv4 and an IPv6 endpoint.
    bool AddressesMatch(const iphelper::DumpedSocket& socket) const
    {
        if (m_endpoint.family == AF_INET6) {
            MIB_TCP6ROW row{};
            return iphelper::Ipv6Ends(socket, row) &&
                   std::memcmp(row.LocalAddr, m_endpoint.localAddr6, 16) == 0 &&
                   row.dwLocalScopeId == m_endpoint.localScope &&
                   (!m_endpoint.tcp ||
                    (std::memcmp(row.RemoteAddr, m_endpoint.remoteAddr6, 16) == 0 &&
                     row.dwRemoteScopeId == m_endpoint.remoteScope));
        }
        std::uint32_t local = 0;
        std::uint32_t remote = 0;
        return iphelper::Ipv4Ends(socket, local, remote) && local == m_endpoint.localAddr &&
               (!m_endpoint.tcp || remote == m_endpoint.remoteAddr);
    }

    SOCKET_ENDPOINT m_endpoint;
};

// "socket:[12345]" to 12345; 0 for any other link.
std::uint64_t SocketInodeOf(const char* link, ssize_t length)
{
    constexpr char kPrefix[] = "socket:[";
    constexpr ssize_t kPrefixLength = sizeof kPrefix - 1;
    if (length <= kPrefixLength + 1 || std::memcmp(link, kPrefix, kPrefixLength) != 0 ||
        link[length - 1] != ']')
        return 0;
    return std::strtoull(link + kPrefixLength, nullptr, 10);
}

struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, CloseDir>;

// Whether any descriptor in the open fd folder `fdDir` is one of `inodes`.
bool HoldsAny(UniqueFd fdDir, const std::vector<std::uint64_t>& inodes)
{
    Dir fds(fdopendir(fdDir.Get()));
    if (fds == nullptr)
        return false;
    // The folder's stream owns the descriptor now.
    const int dirFd = fdDir.Release();
    while (const dirent* entry = readdir(fds.get())) {
        char link[64];
        const ssize_t length = readlinkat(dirFd, entry->d_name, link, sizeof link);
        if (length <= 0 || length >= static_cast<ssize_t>(sizeof link))
            continue;
        const std::uint64_t inode = SocketInodeOf(link, length);
        if (inode != 0 && std::find(inodes.begin(), inodes.end(), inode) != inodes.end())
            return true;
    }
    return false;
}

// A small file of /proc/PID, whole; empty when it cannot be read.
std::string ReadProcFile(int procFd, const std::string& path)
{
    UniqueFd fd(openat(procFd, path.c_str(), O_RDONLY | O_CLOEXEC));
    char text[4096];
    const ssize_t length = fd ? ReadAll(fd.Get(), text, sizeof text) : -1;
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// The effective uid from a status file's "Uid:" line (real, effective, saved, file system).
bool EffectiveUid(const std::string& status, uid_t& uid)
{
    const std::size_t line = status.find("\nUid:");
    if (line == std::string::npos)
        return false;
    const char* cursor = status.c_str() + line + 5;
    char* end = nullptr;
    std::strtoul(cursor, &end, 10);
    if (end == cursor)
        return false;
    cursor = end;
    const unsigned long effective = std::strtoul(cursor, &end, 10);
    if (end == cursor)
        return false;
    uid = static_cast<uid_t>(effective);
    return true;
}

} // namespace

std::string UserName(uid_t uid)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found != nullptr ? std::string(found->pw_name) : std::to_string(uid);
}

SOCKET_OWNERS FindSocketOwners(const SOCKET_ENDPOINT& endpoint)
{
    SOCKET_OWNERS owners;
    EndpointSink sink(endpoint);
    std::vector<char> receive;
    const iphelper::Protocol protocol =
        endpoint.tcp ? iphelper::Protocol::Tcp : iphelper::Protocol::Udp;
    owners.error = endpoint.family == AF_INET6 ? iphelper::DumpSockDiag6(protocol, sink, receive)
                                               : iphelper::DumpSockDiag(protocol, sink, receive);
    if (owners.error != 0)
        return owners;

    std::vector<std::uint64_t> inodes;
    for (const DIAG_MATCH& match : sink.matches) {
        if (match.inode == 0)
            continue;
        if (inodes.empty())
            owners.socketUid = match.uid;
        inodes.push_back(match.inode);
    }
    if (inodes.empty()) {
        owners.status =
            sink.matches.empty() ? SocketOwnerStatus::Gone : SocketOwnerStatus::NoProcess;
        return owners;
    }

    Dir proc(opendir("/proc"));
    if (proc == nullptr) {
        owners.error = errno;
        return owners;
    }
    const int procFd = dirfd(proc.get());
    bool unreadable = false;
    std::map<uid_t, std::string> users;
    while (const dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        // Every read goes through one handle on the process's folder: should
        // the process end and its number be reused, the reads fail instead of
        // describing the newcomer.
        UniqueFd processDir(openat(procFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!processDir)
            continue;
        UniqueFd fdDir(openat(processDir.Get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fdDir) {
            // Another user's process, unless it has ended meanwhile.
            unreadable = unreadable || errno == EACCES || errno == EPERM;
            continue;
        }
        if (!HoldsAny(std::move(fdDir), inodes))
            continue;

        SOCKET_HOLDER holder{static_cast<pid_t>(pid), 0, {}, {}};
        holder.command = ReadProcFile(processDir.Get(), "comm");
        if (!holder.command.empty() && holder.command.back() == '\n')
            holder.command.pop_back();
        if (!EffectiveUid(ReadProcFile(processDir.Get(), "status"), holder.uid))
            continue; // ended between the two reads
        auto [user, added] = users.try_emplace(holder.uid);
        if (added)
            user->second = UserName(holder.uid);
        holder.user = user->second;
        owners.holders.push_back(std::move(holder));
    }

    std::sort(owners.holders.begin(), owners.holders.end(),
              [](const SOCKET_HOLDER& a, const SOCKET_HOLDER& b) { return a.pid < b.pid; });
    if (!owners.holders.empty())
        owners.status = SocketOwnerStatus::Found;
    // With /proc mounted hidepid=invisible another user's processes are not
    // even listed: a socket of someone else's that no listed process holds is
    // held out of sight, not by nobody.
    else if (unreadable || owners.socketUid != geteuid())
        owners.status = SocketOwnerStatus::Hidden;
    else
        owners.status = SocketOwnerStatus::NoProcess;
    if (owners.status == SocketOwnerStatus::Hidden)
        owners.socketUser = UserName(owners.socketUid);
    return owners;
}
