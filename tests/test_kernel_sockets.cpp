// Real sockets in a private network namespace: the snapshot the IP helper
// library takes of them, and the processes that hold them.
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>

#include <algorithm>
#include <set>

#include "monitor/conn_table.h"
#include "monitor/row_text.h"
#include "platform/iphelper/proc_net_table.h"
#include "platform/iphelper/sock_diag_dump.h"
#include "platform/socket_owner.h"
#include "settings/prop.h"
#include "test_support.h"

using enum SocketOwnerStatus;

// Rows compare byte for byte.
bool operator==(const CONN_ROW& a, const CONN_ROW& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

CONN_ROW Row(std::uint32_t state, const char* local, std::uint16_t localPort,
             const char* remote = "0.0.0.0", std::uint16_t remotePort = 0)
{
    return CONN_ROW{state, inet_addr(local), localPort, inet_addr(remote), remotePort};
}

// The sockets that the fixture opens, in the order that a snapshot must hold
// them: by unsigned host-order numbers, equal listeners side by side.
const std::vector<CONN_ROW> kTcpRows = {
    Row(MIB_TCP_STATE_LISTEN, "0.0.0.0", 22),
    Row(MIB_TCP_STATE_LISTEN, "127.0.0.1", 5000),
    Row(MIB_TCP_STATE_ESTAB, "127.0.0.1", 5000, "127.0.0.3", 40000),
    Row(MIB_TCP_STATE_LISTEN, "127.0.0.2", 80),
    Row(MIB_TCP_STATE_ESTAB, "127.0.0.3", 40000, "127.0.0.1", 5000),
    Row(MIB_TCP_STATE_TIME_WAIT, "127.0.0.4", 40001, "127.0.0.2", 80),
    Row(MIB_TCP_STATE_LISTEN, "127.0.0.6", 7000),
    Row(MIB_TCP_STATE_LISTEN, "127.0.0.6", 7000),
    Row(MIB_TCP_STATE_LISTEN, "127.0.0.7", 1),
    Row(MIB_TCP_STATE_LISTEN, "127.0.0.7", 256),
    Row(MIB_TCP_STATE_LISTEN, "127.1.0.1", 5000),
    Row(MIB_TCP_STATE_LISTEN, "200.0.0.1", 1),
};
const std::vector<CONN_ROW> kUdpRows = {Row(0, "0.0.0.0", 53), Row(0, "127.0.0.1", 9999),
                                        Row(0, "127.0.0.5", 5353), Row(0, "127.0.0.9", 6001)};

class KernelSockets : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << "no private network namespace: " << why;
        g_pGetTcpTable = GetTcpTable;
        g_pGetUdpTable = GetUdpTable;
        oProp.SetScanTcp(1);
        oProp.SetScanUdp(1);

        const std::pair<const char*, std::uint16_t> listeners[] = {
            {"0.0.0.0", 22},     {"127.0.0.1", 5000}, {"127.0.0.2", 80},
            {"127.1.0.1", 5000}, {"127.0.0.7", 256},  {"127.0.0.7", 1}};
        for (const auto& [address, port] : listeners)
            Keep(Bound(SOCK_STREAM, address, port));
        Keep(Bound(SOCK_STREAM, "127.0.0.6", 7000, SOL_SOCKET, SO_REUSEPORT));
        Keep(Bound(SOCK_STREAM, "127.0.0.6", 7000, SOL_SOCKET, SO_REUSEPORT));
        Keep(Bound(SOCK_STREAM, "200.0.0.1", 1, IPPROTO_IP, IP_FREEBIND)); // no interface has it
        for (int fd : fds)
            ASSERT_EQ(0, listen(fd, 16));
        Keep(Bound(SOCK_STREAM, "127.0.0.8", 6000)); // only bound: no endpoint
        Connect(Keep(Bound(SOCK_STREAM, "127.0.0.3", 40000)), "127.0.0.1", 5000);
        const int accepted = accept(fds[1], nullptr, nullptr);
        Keep(Bound(SOCK_DGRAM, "0.0.0.0", 53));
        Keep(Bound(SOCK_DGRAM, "127.0.0.5", 5353));
        Keep(Bound(SOCK_DGRAM, "127.0.0.1", 9999));
        const int connectedUdp = Keep(Bound(SOCK_DGRAM, "127.0.0.9", 6001));
        // A connected UDP socket still shows its local end.
        Connect(connectedUdp, "127.0.0.1", 9999);
        LeaveInTimeWait(fds[2], "127.0.0.4", 40001, "127.0.0.2", 80);

        sharer = Hold(connectedUdp, getuid());
        otherUser = Hold(accepted, kNobody);
        close(accepted);
        ASSERT_GT(sharer, 0);
        ASSERT_GT(otherUser, 0);
        // Until the server's end has gone: loopback closes finish in the kernel's own time.
        for (int tries = 0; tries < 5000 && Snapshot().size() > kTcpRows.size() + kUdpRows.size();
             ++tries)
            usleep(1000);
    }

    void TearDown() override
    {
        for (pid_t child : {sharer, otherUser}) {
            if (child > 0) {
                kill(child, SIGKILL);
                waitpid(child, nullptr, 0);
            }
        }
        for (int fd : fds)
            close(fd);
    }

    int Keep(int fd) { return fds.emplace_back(fd); }

    // AF_INET6 sockets of every kind: dual-stack, v4-mapped, IPv6-only and
    // ::1, listening, connected and UDP.
    void OpenAf6Sockets()
    {
        const int dualStack = Keep(Bound6(SOCK_STREAM, "::", 9999));
        const int mapped = Keep(Bound6(SOCK_STREAM, "::ffff:127.0.0.9", 7300));
        const int v6Only = Keep(Bound6(SOCK_STREAM, "::", 9998, 1));
        const int loopback6 = Keep(Bound6(SOCK_STREAM, "::1", 9997));
        for (int fd : {dualStack, mapped, v6Only, loopback6})
            ASSERT_EQ(0, listen(fd, 4));
        Connect(Keep(Bound(SOCK_STREAM, "127.0.0.1", 44134)), "127.0.0.1", 9999);
        const int client6 = Keep(Bound6(SOCK_STREAM, "::1", 41000));
        const sockaddr_in6 to{AF_INET6, htons(9997), 0, IN6ADDR_LOOPBACK_INIT, 0};
        ASSERT_EQ(0, connect(client6, reinterpret_cast<const sockaddr*>(&to), sizeof to));
        Keep(accept(dualStack, nullptr, nullptr));
        Keep(accept(loopback6, nullptr, nullptr));
        Keep(Bound6(SOCK_DGRAM, "::", 5300));
        Keep(Bound6(SOCK_DGRAM, "::", 5301, 1));
        Keep(Bound6(SOCK_DGRAM, "::1", 5302));
    }

    // A child named "holder", running as `uid`, with `fd` its only socket.
    static pid_t Hold(int fd, uid_t uid)
    {
        return StartChild([fd, uid](int ready) {
            const int kept = dup2(fd, 100);
            dup2(ready, 101);
            close_range(3, 99, 0);
            prctl(PR_SET_NAME, "holder");
            if (kept == 100 && (uid == getuid() || BecomeUser(uid)) && write(101, "", 1) == 1)
                pause();
        });
    }

    std::vector<CONN_ROW> Snapshot()
    {
        buffer.assign(kConnTableBytes, 0);
        auto* table = reinterpret_cast<CONN_TABLE*>(buffer.data());
        EXPECT_EQ(1, GetConnectionTable(table));
        return std::vector<CONN_ROW>(table->rows, table->rows + table->count);
    }

    std::vector<int> fds;
    pid_t sharer = -1;
    pid_t otherUser = -1;
    std::vector<unsigned char> buffer;
};

TEST_F(KernelSockets, SnapshotHoldsExactlyTheOpenSocketsOfTheNamespaceAsTheSettingsAsk)
{
    std::vector<CONN_ROW> all = kTcpRows;
    all.insert(all.end(), kUdpRows.begin(), kUdpRows.end());
    EXPECT_EQ(all, Snapshot());
    oProp.SetScanUdp(0);
    EXPECT_EQ(kTcpRows, Snapshot());
    oProp.SetScanTcp(0);
    oProp.SetScanUdp(1);
    EXPECT_EQ(kUdpRows, Snapshot());

    // The same thread, moved to another namespace, sees that one's sockets.
    ASSERT_EQ(EnterPrivateNetwork(), "");
    EXPECT_TRUE(Snapshot().empty());
}

TEST_F(KernelSockets, OwnersAreNamedOrWhyNoneCanBe)
{
    const pid_t self = getpid();
    std::string command;
    std::getline(std::ifstream("/proc/self/comm"), command);
    const struct {
        const char* what;
        CONN_ROW row;
        SocketOwnerStatus status;
        std::set<pid_t> pids;
    } cases[] = {
        {"listener", kTcpRows[1], Found, {self}},
        {"another user's", kTcpRows[2], Found, {otherUser}},
        {"client end", kTcpRows[4], Found, {self}},
        {"time wait", kTcpRows[5], NoProcess, {}},
        {"shared with a child", kUdpRows[3], Found, {self, sharer}},
        {"closed", Row(MIB_TCP_STATE_LISTEN, "127.0.0.1", 5001), Gone, {}},
        {"same port, other protocol", Row(0, "127.0.0.1", 5000), Gone, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CONN_ROW& r = c.row;
        const SOCKET_OWNERS owners =
            FindSocketOwners({r.state != 0, r.localAddr, r.localPort, r.remoteAddr, r.remotePort});
        EXPECT_EQ(owners.status, c.status);
        std::set<pid_t> pids;
        for (const SOCKET_HOLDER& holder : owners.holders) {
            pids.insert(holder.pid);
            EXPECT_EQ(holder.command, holder.pid == self ? command : "holder");
            EXPECT_EQ(holder.uid, holder.pid == otherUser ? kNobody : geteuid());
            const passwd* entry = getpwuid(holder.uid);
            EXPECT_EQ(holder.user, entry ? entry->pw_name : std::to_string(holder.uid));
        }
        EXPECT_EQ(pids, c.pids);
    }

    // Another user looking through a /proc mounted hidepid=invisible cannot
    // see our process at all: the listener is hidden from them, not unheld.
    const CONN_ROW& r = kTcpRows[1];
    const pid_t viewer = fork();
    if (viewer == 0) {
        close_range(3, ~0U, 0); // or the viewer would hold the listener itself
        const bool hiding = unshare(CLONE_NEWNS) == 0 &&
                            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                            mount("proc", "/proc", "proc", 0, "hidepid=invisible") == 0 &&
                            BecomeUser(kNobody);
        const SOCKET_OWNERS seen =
            FindSocketOwners({true, r.localAddr, r.localPort, r.remoteAddr, r.remotePort});
        _exit(!hiding ? 2 : seen.status == Hidden && seen.socketUser == UserName(0) ? 0 : 1);
    }
    EXPECT_EQ(ExitCode(viewer), 0) << "2: no hidepid /proc of its own";
}

bool operator==(const MIB_TCPROW& a, const MIB_TCPROW& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A half-closed pair and clients that make each sort key decide against the
// keys after it.
TEST_F(KernelSockets, HalfClosedPairsSortByEveryKey)
{
    const int listener = Keep(Bound(SOCK_STREAM, "127.0.0.10", 7100));
    ASSERT_EQ(0, listen(listener, 4));
    ASSERT_EQ(0, listen(Keep(Bound(SOCK_STREAM, "127.0.0.10", 7200)), 4));
    const int closing = Keep(Bound(SOCK_STREAM, "127.0.0.11", 41000));
    Connect(closing, "127.0.0.10", 7100);
    Connect(Keep(Bound(SOCK_STREAM, "127.0.0.11", 41001)), "127.0.0.10", 7100);
    Connect(Keep(Bound(SOCK_STREAM, "127.0.0.12", 40999)), "127.0.0.10", 7100);
    for (int i = 0; i < 3; ++i)
        Keep(accept(listener, nullptr, nullptr));
    ASSERT_EQ(0, shutdown(closing, SHUT_WR));
    const std::vector<CONN_ROW> added = {
        Row(MIB_TCP_STATE_LISTEN, "127.0.0.10", 7100),
        Row(MIB_TCP_STATE_CLOSE_WAIT, "127.0.0.10", 7100, "127.0.0.11", 41000),
        Row(MIB_TCP_STATE_ESTAB, "127.0.0.10", 7100, "127.0.0.11", 41001),
        Row(MIB_TCP_STATE_ESTAB, "127.0.0.10", 7100, "127.0.0.12", 40999),
        Row(MIB_TCP_STATE_LISTEN, "127.0.0.10", 7200),
        Row(MIB_TCP_STATE_FIN_WAIT2, "127.0.0.11", 41000, "127.0.0.10", 7100),
        Row(MIB_TCP_STATE_ESTAB, "127.0.0.11", 41001, "127.0.0.10", 7100),
        Row(MIB_TCP_STATE_ESTAB, "127.0.0.12", 40999, "127.0.0.10", 7100),
    };
    std::vector<CONN_ROW> expected = kTcpRows;
    expected.insert(
        std::find(expected.begin(), expected.end(), Row(MIB_TCP_STATE_LISTEN, "127.1.0.1", 5000)),
        added.begin(), added.end());
    oProp.SetScanUdp(0);
    // The FIN and its acknowledgement are handled in the kernel's own time.
    for (int tries = 0; tries < 5000 && Snapshot() != expected; ++tries)
        usleep(1000);
    EXPECT_EQ(Snapshot(), expected);
}

// The IPv4 traffic that AF_INET6 sockets take is in the snapshot, in the
// one order with the AF_INET rows; IPv6-only sockets are not. Then all the
// namespace's sockets through the /proc fallback.
TEST_F(KernelSockets, DualStackSocketsAreTheirIpv4RowsAndProcReadsWhatSockDiagDoes)
{
    ASSERT_NO_FATAL_FAILURE(OpenAf6Sockets());

    std::vector<CONN_ROW> expected = kTcpRows;
    const auto before = [&expected](const CONN_ROW& row) {
        return std::find(expected.begin(), expected.end(), row);
    };
    expected.insert(before(kTcpRows[1]), Row(MIB_TCP_STATE_LISTEN, "0.0.0.0", 9999));
    expected.insert(before(kTcpRows[3]),
                    {Row(MIB_TCP_STATE_ESTAB, "127.0.0.1", 9999, "127.0.0.1", 44134),
                     Row(MIB_TCP_STATE_ESTAB, "127.0.0.1", 44134, "127.0.0.1", 9999)});
    expected.insert(before(kTcpRows[10]), Row(MIB_TCP_STATE_LISTEN, "127.0.0.9", 7300));
    expected.insert(expected.end(), kUdpRows.begin(), kUdpRows.end());
    expected.insert(before(kUdpRows[1]), Row(0, "0.0.0.0", 5300));
    EXPECT_EQ(Snapshot(), expected);

    for (const CONN_ROW& r : {Row(MIB_TCP_STATE_LISTEN, "0.0.0.0", 9999),
                              Row(MIB_TCP_STATE_ESTAB, "127.0.0.1", 9999, "127.0.0.1", 44134),
                              Row(0, "0.0.0.0", 5300)}) {
        const SOCKET_OWNERS owners =
            FindSocketOwners({r.state != 0, r.localAddr, r.localPort, r.remoteAddr, r.remotePort});
        EXPECT_EQ(owners.status, Found) << r.localPort;
        ASSERT_EQ(owners.holders.size(), 1u) << r.localPort;
        EXPECT_EQ(owners.holders[0].pid, getpid());
    }

    // The text tables cannot tell whether a socket on :: takes IPv4: only
    // the v4-mapped ones are read from them.
    for (const iphelper::Protocol protocol : {iphelper::Protocol::Tcp, iphelper::Protocol::Udp}) {
        iphelper::EndpointRows fromDiag, fromProc;
        std::vector<char> receive;
        std::string text;
        ASSERT_EQ(0, iphelper::DumpSockDiag(protocol, fromDiag, receive));
        ASSERT_EQ(0, iphelper::ReadProcNet(protocol, text, fromProc));
        std::erase_if(fromDiag, [](const MIB_TCPROW& row) {
            return row.dwLocalAddr == 0 &&
                   (row.dwLocalPort == htons(9999) || row.dwLocalPort == htons(5300));
        });
        iphelper::SortRows(fromDiag);
        iphelper::SortRows(fromProc);
        EXPECT_TRUE(fromProc == fromDiag) << text;
    }

    // The snapshot's IPv6 rows: none while the option is off, else TCP then
    // UDP, as the protocol options ask.
    g_pGetTcp6Table = GetTcp6Table;
    g_pGetUdp6Table = GetUdp6Table;
    oProp.SetShowHost(0);
    std::vector<unsigned char> bytes(kConn6TableBytes);
    auto* table6 = reinterpret_cast<CONN6_TABLE*>(bytes.data());
    const auto texts = [table6] {
        std::vector<std::string> lines;
        for (std::uint32_t i = 0; i < table6->count; ++i) {
            char local[64], remote[64];
            FormatLocalEndpoint(table6->rows[i], local, sizeof local);
            FormatRemoteEndpoint(table6->rows[i], remote, sizeof remote);
            lines.push_back(std::string(GetProtocolText(table6->rows[i])) + " " + local + " " +
                            remote);
        }
        return lines;
    };
    ASSERT_EQ(1, GetConnection6Table(table6));
    EXPECT_EQ(0u, table6->count);
    oProp.SetScanIpv6(1);
    ASSERT_EQ(1, GetConnection6Table(table6));
    const std::vector<std::string> all = {
        "TCPv6 [::]: 9998 [::]:    0",   "TCPv6 [::]: 9999 [::]:    0",
        "TCPv6 [::1]: 9997 [::]:    0",  "TCPv6 [::1]: 9997 [::1]:41000",
        "TCPv6 [::1]:41000 [::1]: 9997", "UDPv6 [::]: 5300 *.*",
        "UDPv6 [::]: 5301 *.*",          "UDPv6 [::1]: 5302 *.*"};
    EXPECT_EQ(texts(), all);
    oProp.SetScanTcp(0);
    ASSERT_EQ(1, GetConnection6Table(table6));
    EXPECT_EQ(texts(), std::vector<std::string>(all.end() - 3, all.end()));
}

// A whole IPv6 table through the size query, in the library's order.
template <typename Table, typename Row>
std::vector<Row> Read6(std::uint32_t (*read)(Table*, std::uint32_t*, int))
{
    std::uint32_t size = 0;
    EXPECT_EQ(122u, read(nullptr, &size, 1));
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<Table*>(buffer.data());
    EXPECT_EQ(0u, read(table, &size, 1));
    EXPECT_EQ(size, 4 + table->dwNumEntries * sizeof(Row));
    return std::vector<Row>(table->table, table->table + table->dwNumEntries);
}

MIB_TCP6ROW Row6(std::uint32_t state, const char* local, std::uint16_t localPort,
                 const char* remote = "::", std::uint16_t remotePort = 0)
{
    MIB_TCP6ROW row{state, {}, 0, htons(localPort), {}, 0, htons(remotePort)};
    inet_pton(AF_INET6, local, row.LocalAddr);
    inet_pton(AF_INET6, remote, row.RemoteAddr);
    return row;
}

bool operator==(const MIB_TCP6ROW& a, const MIB_TCP6ROW& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The IPv6 tables of the same sockets: the dual-stack ones as [::] too, the
// v4-mapped ones not at all; then the same from /proc.
TEST_F(KernelSockets, Ipv6TablesHoldTheIpv6EndsAndProcReadsTheSame)
{
    ASSERT_NO_FATAL_FAILURE(OpenAf6Sockets());
    Keep(Bound6(SOCK_DGRAM, "::ffff:127.0.0.1", 5303));

    const std::vector<MIB_TCP6ROW> tcp = {
        Row6(MIB_TCP_STATE_LISTEN, "::", 9998),
        Row6(MIB_TCP_STATE_LISTEN, "::", 9999),
        Row6(MIB_TCP_STATE_LISTEN, "::1", 9997),
        Row6(MIB_TCP_STATE_ESTAB, "::1", 9997, "::1", 41000),
        Row6(MIB_TCP_STATE_ESTAB, "::1", 41000, "::1", 9997),
    };
    EXPECT_TRUE((Read6<MIB_TCP6TABLE, MIB_TCP6ROW>(GetTcp6Table)) == tcp);
    // Their holders, a UDP one's, and none for a port the v6-only listener has
    // on another address.
    std::vector<MIB_TCP6ROW> owned = tcp;
    owned.push_back(Row6(0, "::1", 5302));
    owned.push_back(Row6(MIB_TCP_STATE_LISTEN, "::1", 9998));
    for (const MIB_TCP6ROW& r : owned) {
        SOCKET_ENDPOINT endpoint{r.State != 0,          0,       ntohs(r.dwLocalPort), 0,
                                 ntohs(r.dwRemotePort), AF_INET6};
        std::memcpy(endpoint.localAddr6, r.LocalAddr, 16);
        std::memcpy(endpoint.remoteAddr6, r.RemoteAddr, 16);
        const SOCKET_OWNERS owners = FindSocketOwners(endpoint);
        const bool held = &r != &owned.back();
        EXPECT_EQ(owners.status, held ? Found : Gone) << endpoint.localPort;
        EXPECT_TRUE(held ? owners.holders.size() == 1 && owners.holders[0].pid == getpid()
                         : owners.holders.empty());
    }
    std::vector<MIB_UDP6ROW> udp;
    for (const auto& [address, port] :
         {std::pair{"::", 5300}, std::pair{"::", 5301}, std::pair{"::1", 5302}}) {
        MIB_UDP6ROW row{{}, 0, htons(static_cast<std::uint16_t>(port))};
        inet_pton(AF_INET6, address, row.ucLocalAddr);
        udp.push_back(row);
    }
    const auto readUdp = Read6<MIB_UDP6TABLE, MIB_UDP6ROW>(GetUdp6Table);
    ASSERT_EQ(readUdp.size(), udp.size());
    EXPECT_EQ(0, std::memcmp(readUdp.data(), udp.data(), udp.size() * sizeof udp[0]));

    for (const iphelper::Protocol protocol : {iphelper::Protocol::Tcp, iphelper::Protocol::Udp}) {
        iphelper::Endpoint6Rows fromDiag, fromProc;
        std::vector<char> receive;
        std::string text;
        ASSERT_EQ(0, iphelper::DumpSockDiag(protocol, fromDiag, receive));
        ASSERT_EQ(0, iphelper::ReadProcNet6(protocol, text, fromProc));
        iphelper::SortRows(fromDiag);
        iphelper::SortRows(fromProc);
        EXPECT_TRUE(fromProc == fromDiag) << text;
    }
}
