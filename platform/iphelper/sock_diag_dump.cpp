#include "platform/iphelper/sock_diag_dump.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace iphelper {

namespace {

constexpr int kMaxAttempts = 8;

std::atomic<std::uint32_t> nextSequence{1};

class NetlinkSocket {
  public:
    NetlinkSocket() : fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
    ~NetlinkSocket()
    {
        if (fd >= 0)
            close(fd);
    }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;

    int fd;
};

int SendRequest(int fd, Protocol protocol, std::uint32_t sequence)
{
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message;
    std::memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = AF_INET;
    message.request.sdiag_protocol = protocol == Protocol::Tcp ? IPPROTO_TCP : IPPROTO_UDP;
    message.request.idiag_states = kDumpedStates;

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

bool AppendRow(Protocol protocol, const nlmsghdr* header, EndpointRows& rows)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return false;
    inet_diag_msg diag;
    std::memcpy(&diag, NLMSG_DATA(header), sizeof diag);
    if (diag.idiag_family != AF_INET)
        return true;

    MIB_TCPROW row{};
    row.dwLocalAddr = diag.id.idiag_src[0];
    row.dwLocalPort = diag.id.idiag_sport;
    if (protocol == Protocol::Tcp) {
        row.dwState = MibStateFromLinux(diag.idiag_state);
        if (row.dwState == 0)
            return true;
        row.dwRemoteAddr = diag.id.idiag_dst[0];
        row.dwRemotePort = diag.id.idiag_dport;
    }
    rows.push_back(row);
    return true;
}

// NLMSG_OK with the signs kept apart.
bool MessageFits(const nlmsghdr* header, int remaining)
{
    return remaining >= static_cast<int>(sizeof(nlmsghdr)) &&
           header->nlmsg_len >= sizeof(nlmsghdr) &&
           header->nlmsg_len <= static_cast<unsigned>(remaining);
}

enum class Outcome { Done, Interrupted, Failed };

// Reads replies up to NLMSG_DONE. Messages of another request or from
// anything but the kernel are skipped; an error ends the dump.
Outcome ReadReplies(int fd, Protocol protocol, std::uint32_t sequence, std::uint32_t portId,
                    EndpointRows& rows, std::vector<char>& receive, int& error)
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
            error = errno;
            return Outcome::Failed;
        }
        if ((message.msg_flags & MSG_TRUNC) != 0 ||
            static_cast<std::size_t>(length) > receive.size()) {
            // Part of the dump is lost; start over with room for such a datagram.
            receive.resize(static_cast<std::size_t>(length) + 4096);
            return Outcome::Interrupted;
        }
        if (length == 0) {
            error = EIO;
            return Outcome::Failed;
        }
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
                if (header->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
                    int status;
                    std::memcpy(&status, NLMSG_DATA(header), sizeof status);
                    if (status < 0) {
                        error = -status;
                        return Outcome::Failed;
                    }
                }
                return interrupted ? Outcome::Interrupted : Outcome::Done;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
                    error = EIO;
                    return Outcome::Failed;
                }
                nlmsgerr failure;
                std::memcpy(&failure, NLMSG_DATA(header), sizeof failure);
                if (failure.error == 0)
                    continue;
                error = -failure.error;
                return Outcome::Failed;
            }
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY && !AppendRow(protocol, header, rows)) {
                error = EIO;
                return Outcome::Failed;
            }
        }
        if (remaining > 0) {
            error = EIO;
            return Outcome::Failed;
        }
    }
}

} // namespace

int DumpSockDiag(Protocol protocol, EndpointRows& rows, std::vector<char>& receive)
{
    if (receive.size() < kDumpReceiveBytes)
        receive.resize(kDumpReceiveBytes);

    int error = EAGAIN;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        rows.clear();
        // A fresh socket per attempt, so no reply of an abandoned dump is left behind.
        NetlinkSocket socket;
        if (socket.fd < 0)
            return errno;
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        socklen_t localLength = sizeof local;
        if (bind(socket.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            getsockname(socket.fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
            return errno;

        const std::uint32_t sequence = nextSequence.fetch_add(1, std::memory_order_relaxed);
        error = SendRequest(socket.fd, protocol, sequence);
        if (error != 0)
            break;
        Outcome outcome =
            ReadReplies(socket.fd, protocol, sequence, local.nl_pid, rows, receive, error);
        if (outcome == Outcome::Done)
            return 0;
        if (outcome == Outcome::Failed)
            break;
        error = EAGAIN;
    }
    rows.clear();
    return error;
}

} // namespace iphelper
