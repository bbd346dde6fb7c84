#include "platform/iphelper/sock_diag_dump.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace iphelper {

namespace {

constexpr int kMaxAttempts = 8;

// One socket per thread, kept between dumps rather than opened, bound and
// closed for each. A socket dumps the namespace it was opened in, so it is
// replaced when the thread has moved to another one; a forked child opens its
// own rather than read replies meant for its parent.
class ThreadSocket {
public:
    // The socket, opened and bound when needed; -1 with errno set on failure.
    int Acquire()
    {
        char current[sizeof namespaceLink];
        const ssize_t length = readlink("/proc/thread-self/ns/net", current, sizeof current);
        const bool known = length > 0 && length < static_cast<ssize_t>(sizeof current);
        // A forked child leaves its parent's socket alone: the child may have
        // closed that number since and opened something else under it.
        if (fd && owner != getpid())
            fd.Release();
        if (fd && (!known || length != namespaceLength ||
                   std::memcmp(current, namespaceLink, static_cast<std::size_t>(length)) != 0))
            Close();
        if (fd)
            return fd.Get();

        UniqueFd opened(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        socklen_t localLength = sizeof local;
        if (!opened ||
            bind(opened.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            getsockname(opened.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
            return -1;
        fd = std::move(opened);
        portId = local.nl_pid;
        owner = getpid();
        // Without the link the namespace cannot be told, and the next dump opens afresh.
        namespaceLength = known ? length : 0;
        std::memset(namespaceLink, 0, sizeof namespaceLink);
        if (known)
            std::memcpy(namespaceLink, current, static_cast<std::size_t>(length));
        return fd.Get();
    }

    // After a failed or abandoned dump, so none of its replies meets the next one.
    void Close() { fd.Reset(); }

    std::uint32_t PortId() const { return portId; }

    // Increasing for as long as the thread lives, so a late reply to an
    // earlier request never matches.
    std::uint32_t NextSequence() { return ++sequence; }

private:
    UniqueFd fd;
    std::uint32_t portId = 0;
    std::uint32_t sequence = 0;
    pid_t owner = 0;
    ssize_t namespaceLength = 0;
    char namespaceLink[48] = {};
};

thread_local ThreadSocket threadSocket;

// TCP's older request type carries no family: the kernel answers it with the
// AF_INET and the AF_INET6 sockets in one walk of its connection hash. That
// walk costs the same however few sockets the namespace holds, so one walk
// rather than one per family halves the idle cost of each period. UDP has
// only the per-family request, and its walk is cheap.
constexpr int kBothFamilies = AF_UNSPEC;

template <typename Message> int SendMessage(int fd, const Message& message)
{
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        ssize_t sent = sendto(fd, &message, sizeof message, 0,
                              reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(sizeof message))
            return 0;
        if (sent < 0 && errno == EINTR)
            continue;
        return sent < 0 ? errno : EIO;
    }
}

void FillHeader(nlmsghdr& header, std::uint32_t length, std::uint16_t type, std::uint32_t sequence)
{
    header.nlmsg_len = length;
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = sequence;
}

int SendRequest(int fd, int family, Protocol protocol, std::uint32_t sequence)
{
    if (family == kBothFamilies) {
        struct {
            nlmsghdr header;
            inet_diag_req request;
        } message;
        std::memset(&message, 0, sizeof message);
        FillHeader(message.header, sizeof message, TCPDIAG_GETSOCK, sequence);
        message.request.idiag_states = kDumpedStates;
        return SendMessage(fd, message);
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message;
    std::memset(&message, 0, sizeof message);
    FillHeader(message.header, sizeof message, SOCK_DIAG_BY_FAMILY, sequence);
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = protocol == Protocol::Tcp ? IPPROTO_TCP : IPPROTO_UDP;
    message.request.idiag_states = kDumpedStates;
    return SendMessage(fd, message);
}

// NLMSG_OK with the signs kept apart.
bool MessageFits(const nlmsghdr* header, int remaining)
{
    return remaining >= static_cast<int>(sizeof(nlmsghdr)) &&
           header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<unsigned>(remaining);
}

// Endpoint rows from the dumped sockets; TCP states outside 1..12 are left out.
class RowSink final : public SockDiagSink {
public:
    RowSink(Protocol protocol, EndpointRows& rows) : m_protocol(protocol), m_rows(rows) {}
    void Restart() override { m_rows.clear(); }
    void Add(const DumpedSocket& socket) override
    {
        MIB_TCPROW row{};
        std::uint32_t remoteAddr = 0;
        if (!Ipv4Ends(socket, row.dwLocalAddr, remoteAddr))
            return;
        row.dwLocalPort = socket.diag.id.idiag_sport;
        if (m_protocol == Protocol::Tcp) {
            row.dwState = MibStateFromLinux(socket.diag.idiag_state);
            if (row.dwState == 0)
                return;
            row.dwRemoteAddr = remoteAddr;
            row.dwRemotePort = socket.diag.id.idiag_dport;
        }
        m_rows.push_back(row);
    }

private:
    Protocol m_protocol;
    EndpointRows& m_rows;
};

class Row6Sink final : public SockDiagSink {
public:
    Row6Sink(Protocol protocol, Endpoint6Rows& rows) : m_protocol(protocol), m_rows(rows) {}
    void Restart() override { m_rows.clear(); }
    void Add(const DumpedSocket& socket) override
    {
        MIB_TCP6ROW row{};
        if (!Ipv6Ends(socket, row))
            return;
        row.dwLocalPort = socket.diag.id.idiag_sport;
        if (m_protocol == Protocol::Tcp) {
            row.State = MibStateFromLinux(socket.diag.idiag_state);
            if (row.State == 0)
                return;
            row.dwRemotePort = socket.diag.id.idiag_dport;
        } else {
            std::memset(row.RemoteAddr, 0, sizeof row.RemoteAddr);
            row.dwRemoteScopeId = 0;
        }
        m_rows.push_back(row);
    }

private:
    Protocol m_protocol;
    Endpoint6Rows& m_rows;
};

enum class Outcome { Done, Interrupted, Failed };

Outcome Failure(int& error, int code)
{
    error = code;
    return Outcome::Failed;
}

// The payload of `header` as a T; false when the message is too short to hold one.
template <typename T> bool ReadPayload(const nlmsghdr* header, T& payload)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(T)))
        return false;
    std::memcpy(&payload, NLMSG_DATA(header), sizeof payload);
    return true;
}

// A socket message with the one attribute that is read: IPV6_V6ONLY.
bool ReadSocket(const nlmsghdr* header, DumpedSocket& socket)
{
    if (!ReadPayload(header, socket.diag))
        return false;
    constexpr unsigned kAttributesAt = NLMSG_SPACE(sizeof(inet_diag_msg));
    int remaining = static_cast<int>(header->nlmsg_len) - static_cast<int>(kAttributesAt);
    for (auto* attribute =
             reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(header) + kAttributesAt);
         RTA_OK(attribute, remaining); attribute = RTA_NEXT(attribute, remaining)) {
        if (attribute->rta_type == INET_DIAG_SKV6ONLY && RTA_PAYLOAD(attribute) >= 1) {
            socket.v6OnlyKnown = true;
            socket.v6Only = *static_cast<const std::uint8_t*>(RTA_DATA(attribute)) != 0;
        }
    }
    return true;
}

// Reads replies up to NLMSG_DONE. Messages of another request or from
// anything but the kernel are skipped; an error ends the dump.
Outcome ReadReplies(int fd, int family, std::uint32_t sequence, std::uint32_t portId,
                    SockDiagSink& sink, std::vector<char>& receive, int& error)
{
    bool interrupted = false;
    for (;;) {
        sockaddr_nl from{};
        iovec io{receive.data(), receive.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        // MSG_TRUNC makes the result the datagram's full length.
        ssize_t length = recvmsg(fd, &message, MSG_TRUNC);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            return Failure(error, errno);
        }
        if ((message.msg_flags & MSG_TRUNC) != 0 ||
            static_cast<std::size_t>(length) > receive.size()) {
            // Part of the dump is lost; start over with room for such a datagram.
            receive.resize(static_cast<std::size_t>(length) + 4096);
            return Outcome::Interrupted;
        }
        if (length == 0)
            return Failure(error, EIO);
        if (message.msg_namelen < sizeof from || from.nl_pid != 0)
            continue;

        int remaining = static_cast<int>(length);
        for (auto* header = reinterpret_cast<nlmsghdr*>(receive.data());
             MessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_seq != sequence || header->nlmsg_pid != portId)
                continue;
            if ((header->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
                interrupted = true;
            if (header->nlmsg_type == NLMSG_DONE) {
                int status = 0;
                if (ReadPayload(header, status) && status < 0)
                    return Failure(error, -status);
                return interrupted ? Outcome::Interrupted : Outcome::Done;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                nlmsgerr failure;
                if (!ReadPayload(header, failure))
                    return Failure(error, EIO);
                if (failure.error != 0)
                    return Failure(error, -failure.error);
                continue;
            }
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_type == TCPDIAG_GETSOCK) {
                DumpedSocket socket;
                if (!ReadSocket(header, socket))
                    return Failure(error, EIO);
                const int dumped = socket.diag.idiag_family;
                if (family == kBothFamilies ? dumped == AF_INET || dumped == AF_INET6
                                            : dumped == family)
                    sink.Add(socket);
            }
        }
        if (remaining > 0)
            return Failure(error, EIO);
    }
}

Outcome DumpFamily(ThreadSocket& diag, int family, Protocol protocol, SockDiagSink& sink,
                   std::vector<char>& receive, int& error)
{
    const int fd = diag.Acquire();
    if (fd < 0)
        return Failure(error, errno);
    const std::uint32_t sequence = diag.NextSequence();
    error = SendRequest(fd, family, protocol, sequence);
    if (error != 0)
        return Outcome::Failed;
    const Outcome outcome = ReadReplies(fd, family, sequence, diag.PortId(), sink, receive, error);
    // Without IPv6 in the kernel there is no handler for the family.
    if (outcome == Outcome::Failed && family == AF_INET6 &&
        (error == ENOENT || error == EAFNOSUPPORT)) {
        error = 0;
        return Outcome::Done;
    }
    return outcome;
}

// The sockets of both families, as one dump or one per family.
Outcome DumpBothFamilies(ThreadSocket& diag, Protocol protocol, SockDiagSink& sink,
                         std::vector<char>& receive, int& error)
{
    if (protocol == Protocol::Tcp) {
        const Outcome outcome = DumpFamily(diag, kBothFamilies, protocol, sink, receive, error);
        // A kernel built without the older request type refuses it outright.
        const bool refused = outcome == Outcome::Failed &&
                             (error == EINVAL || error == ENOENT || error == EOPNOTSUPP);
        if (!refused)
            return outcome;
        sink.Restart();
    }
    Outcome outcome = DumpFamily(diag, AF_INET, protocol, sink, receive, error);
    if (outcome == Outcome::Done)
        outcome = DumpFamily(diag, AF_INET6, protocol, sink, receive, error);
    return outcome;
}

bool IsV4Mapped(const std::uint32_t* address)
{
    return address[0] == 0 && address[1] == 0 && address[2] == htonl(0xFFFF);
}

bool IsUnspecified(const std::uint32_t* address)
{
    return (address[0] | address[1] | address[2] | address[3]) == 0;
}

bool IsLinkLocal(const std::uint32_t* address)
{
    return (ntohl(address[0]) & 0xFFC00000u) == 0xFE800000u;
}

int DumpFamilies(Protocol protocol, bool withIpv4, SockDiagSink& sink, std::vector<char>& receive)
{
    if (receive.size() < kDumpReceiveBytes)
        receive.resize(kDumpReceiveBytes);

    ThreadSocket& diag = threadSocket;
    int error = EAGAIN;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        sink.Restart();
        const Outcome outcome = withIpv4
                                    ? DumpBothFamilies(diag, protocol, sink, receive, error)
                                    : DumpFamily(diag, AF_INET6, protocol, sink, receive, error);
        if (outcome == Outcome::Done)
            return 0;
        diag.Close();
        if (outcome == Outcome::Failed)
            break;
        error = EAGAIN;
    }
    sink.Restart();
    return error;
}

} // namespace

bool Ipv4Ends(const DumpedSocket& socket, std::uint32_t& local, std::uint32_t& remote)
{
    const inet_diag_sockid& id = socket.diag.id;
    if (socket.diag.idiag_family == AF_INET) {
        local = id.idiag_src[0];
        remote = id.idiag_dst[0];
        return true;
    }
    if (socket.diag.idiag_family != AF_INET6)
        return false;
    if (IsV4Mapped(id.idiag_src))
        local = id.idiag_src[3];
    else if (IsUnspecified(id.idiag_src) && socket.v6OnlyKnown && !socket.v6Only)
        local = 0;
    else
        return false;
    if (IsV4Mapped(id.idiag_dst))
        remote = id.idiag_dst[3];
    else if (IsUnspecified(id.idiag_dst))
        remote = 0;
    else
        return false;
    return true;
}

int DumpSockDiag(Protocol protocol, SockDiagSink& sink, std::vector<char>& receive)
{
    return DumpFamilies(protocol, true, sink, receive);
}

int DumpSockDiag6(Protocol protocol, SockDiagSink& sink, std::vector<char>& receive)
{
    return DumpFamilies(protocol, false, sink, receive);
}

bool Ipv6Ends(const DumpedSocket& socket, MIB_TCP6ROW& row)
{
    const inet_diag_sockid& id = socket.diag.id;
    if (socket.diag.idiag_family != AF_INET6 || IsV4Mapped(id.idiag_src) ||
        IsV4Mapped(id.idiag_dst))
        return false;
    std::memcpy(row.LocalAddr, id.idiag_src, sizeof row.LocalAddr);
    std::memcpy(row.RemoteAddr, id.idiag_dst, sizeof row.RemoteAddr);
    row.dwLocalScopeId = IsLinkLocal(id.idiag_src) ? id.idiag_if : 0;
    row.dwRemoteScopeId = IsLinkLocal(id.idiag_dst) ? id.idiag_if : 0;
    return true;
}

int DumpSockDiag(Protocol protocol, EndpointRows& rows, std::vector<char>& receive)
{
    RowSink sink(protocol, rows);
    return DumpSockDiag(protocol, sink, receive);
}

int DumpSockDiag(Protocol protocol, Endpoint6Rows& rows, std::vector<char>& receive)
{
    Row6Sink sink(protocol, rows);
    return DumpSockDiag6(protocol, sink, receive);
}

} // namespace iphelper
