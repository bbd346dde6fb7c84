#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/conn_table.h"
#include "platform/iphelper/endpoint_row.h"
#include "platform/iphelper/proc_net_table.h"
#include "platform/iphelper/sock_diag_dump.h"
#include "settings/prop.h"

namespace {

std::uint32_t Addr(const char* dotted)
{
    in_addr addr{};
    inet_pton(AF_INET, dotted, &addr);
    return addr.s_addr;
}

sockaddr_in Endpoint(const char* dotted, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = Addr(dotted);
    address.sin_port = htons(port);
    return address;
}

CONN_ROW Tcp(std::uint32_t state, const char* local, std::uint16_t localPort,
             const char* remote = "0.0.0.0", std::uint16_t remotePort = 0)
{
    return CONN_ROW{state, Addr(local), localPort, Addr(remote), remotePort};
}

CONN_ROW Udp(const char* local, std::uint16_t localPort)
{
    return CONN_ROW{0, Addr(local), localPort, 0, 0};
}

std::string Describe(const CONN_ROW* rows, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const CONN_ROW row = rows[i];
        const std::uint32_t local = row.localAddr;
        const std::uint32_t remote = row.remoteAddr;
        char line[128];
        char localText[INET_ADDRSTRLEN];
        char remoteText[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &local, localText, sizeof localText);
        inet_ntop(AF_INET, &remote, remoteText, sizeof remoteText);
        std::snprintf(line, sizeof line, "  %2u %s:%u %s:%u\n", unsigned{row.state}, localText,
                      unsigned{row.localPort}, remoteText, unsigned{row.remotePort});
        text += line;
    }
    return text;
}

// A socket option to set before bind: SO_REUSEPORT and IP_FREEBIND share a number.
struct Option {
    int level;
    int name;
};
constexpr Option kNoOption{0, 0};
constexpr Option kReusePort{SOL_SOCKET, SO_REUSEPORT};
constexpr Option kFreeBind{IPPROTO_IP, IP_FREEBIND};

// A fresh network namespace per test, with lo up and nothing else in it, so
// the kernel's tables hold exactly the sockets that the test opens.
class KernelTables : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "cannot create a network namespace: " << std::strerror(errno);
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        ifreq request{};
        std::strcpy(request.ifr_name, "lo");
        ASSERT_EQ(0, ioctl(fd, SIOCGIFFLAGS, &request));
        request.ifr_flags |= IFF_UP;
        ASSERT_EQ(0, ioctl(fd, SIOCSIFFLAGS, &request)) << std::strerror(errno);
        close(fd);

        savedTcp = g_pGetTcpTable;
        savedUdp = g_pGetUdpTable;
        savedScanTcp = oProp.GetScanTcp();
        savedScanUdp = oProp.GetScanUdp();
        g_pGetTcpTable = GetTcpTable;
        g_pGetUdpTable = GetUdpTable;
        oProp.SetScanTcp(1);
        oProp.SetScanUdp(1);
    }

    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        g_pGetTcpTable = savedTcp;
        g_pGetUdpTable = savedUdp;
        oProp.SetScanTcp(savedScanTcp);
        oProp.SetScanUdp(savedScanUdp);
    }

    int Keep(int fd)
    {
        EXPECT_GE(fd, 0) << std::strerror(errno);
        fds.push_back(fd);
        return fd;
    }

    int Bound(int type, const char* address, std::uint16_t port, Option option = kNoOption)
    {
        int fd = Keep(socket(AF_INET, type | SOCK_CLOEXEC, 0));
        int on = 1;
        if (option.name != 0) {
            EXPECT_EQ(0, setsockopt(fd, option.level, option.name, &on, sizeof on));
        }
        sockaddr_in local = Endpoint(address, port);
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local))
            << address << ":" << port << " " << std::strerror(errno);
        return fd;
    }

    int Listen(const char* address, std::uint16_t port, Option option = kNoOption)
    {
        int fd = Bound(SOCK_STREAM, address, port, option);
        EXPECT_EQ(0, listen(fd, 16));
        return fd;
    }

    // A connected client bound to `from`, and the server's accepted end.
    std::pair<int, int> Connect(int listener, const char* from, std::uint16_t fromPort,
                                const char* to, std::uint16_t toPort)
    {
        int client = Bound(SOCK_STREAM, from, fromPort);
        sockaddr_in remote = Endpoint(to, toPort);
        EXPECT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&remote), sizeof remote));
        return {client, Keep(accept(listener, nullptr, nullptr))};
    }

    void CloseKept(int fd)
    {
        fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
        close(fd);
    }

    int Snapshot(std::vector<unsigned char>& buffer)
    {
        buffer.assign(kConnTableBytes, 0);
        return GetConnectionTable(reinterpret_cast<CONN_TABLE*>(buffer.data()));
    }

    static const CONN_TABLE* View(const std::vector<unsigned char>& buffer)
    {
        return reinterpret_cast<const CONN_TABLE*>(buffer.data());
    }

    void ExpectRows(const std::vector<unsigned char>& buffer, const std::vector<CONN_ROW>& rows)
    {
        const CONN_TABLE* table = View(buffer);
        const bool same =
            table->count == rows.size() &&
            std::memcmp(table->rows, rows.data(), rows.size() * sizeof(CONN_ROW)) == 0;
        EXPECT_TRUE(same) << "expected:\n"
                          << Describe(rows.data(), rows.size()) << "taken:\n"
                          << Describe(table->rows, table->count);
    }

    // Listeners on several loopback addresses, established pairs, a TIME_WAIT
    // end, two listeners sharing a port, a socket that is only bound, and UDP
    // sockets on the wildcard and on loopback addresses.
    void OpenKnownSockets()
    {
        Listen("0.0.0.0", 22);
        int main = Listen("127.0.0.1", 5000);
        int web = Listen("127.0.0.2", 80);
        Listen("127.1.0.1", 5000);
        Listen("127.0.0.7", 256);
        Listen("127.0.0.7", 1);
        Listen("127.0.0.6", 7000, kReusePort);
        Listen("127.0.0.6", 7000, kReusePort);
        Listen("200.0.0.1", 1, kFreeBind);
        Bound(SOCK_STREAM, "127.0.0.8", 6000);
        Connect(main, "127.0.0.3", 40000, "127.0.0.1", 5000);

        auto [client, server] = Connect(web, "127.0.0.4", 40001, "127.0.0.2", 80);
        CloseKept(client);
        WaitForState(MIB_TCP_STATE_FIN_WAIT2);
        CloseKept(server);
        WaitForState(MIB_TCP_STATE_TIME_WAIT);

        Bound(SOCK_DGRAM, "0.0.0.0", 53);
        Bound(SOCK_DGRAM, "127.0.0.5", 5353);
        Bound(SOCK_DGRAM, "127.0.0.1", 9999);
        int connected = Bound(SOCK_DGRAM, "127.0.0.9", 6001);
        sockaddr_in peer = Endpoint("127.0.0.1", 9999);
        EXPECT_EQ(0, connect(connected, reinterpret_cast<sockaddr*>(&peer), sizeof peer));
    }

    std::vector<CONN_ROW> KnownTcpRows() const
    {
        return {
            Tcp(MIB_TCP_STATE_LISTEN, "0.0.0.0", 22),
            Tcp(MIB_TCP_STATE_LISTEN, "127.0.0.1", 5000),
            Tcp(MIB_TCP_STATE_ESTAB, "127.0.0.1", 5000, "127.0.0.3", 40000),
            Tcp(MIB_TCP_STATE_LISTEN, "127.0.0.2", 80),
            Tcp(MIB_TCP_STATE_ESTAB, "127.0.0.3", 40000, "127.0.0.1", 5000),
            Tcp(MIB_TCP_STATE_TIME_WAIT, "127.0.0.4", 40001, "127.0.0.2", 80),
            Tcp(MIB_TCP_STATE_LISTEN, "127.0.0.6", 7000),
            Tcp(MIB_TCP_STATE_LISTEN, "127.0.0.6", 7000),
            Tcp(MIB_TCP_STATE_LISTEN, "127.0.0.7", 1),
            Tcp(MIB_TCP_STATE_LISTEN, "127.0.0.7", 256),
            Tcp(MIB_TCP_STATE_LISTEN, "127.1.0.1", 5000),
            Tcp(MIB_TCP_STATE_LISTEN, "200.0.0.1", 1),
        };
    }

    std::vector<CONN_ROW> KnownUdpRows() const
    {
        return {Udp("0.0.0.0", 53), Udp("127.0.0.1", 9999), Udp("127.0.0.5", 5353),
                Udp("127.0.0.9", 6001)};
    }

    std::vector<CONN_ROW> KnownRows() const
    {
        std::vector<CONN_ROW> rows = KnownTcpRows();
        for (const CONN_ROW& row : KnownUdpRows())
            rows.push_back(row);
        return rows;
    }

    // Loopback closes finish in the kernel's own time; wait until a row in
    // `state` shows and no end is left half-closed.
    void WaitForState(std::uint32_t state)
    {
        for (int tries = 0; tries < 5000; ++tries) {
            iphelper::EndpointRows rows;
            ASSERT_EQ(0, iphelper::DumpSockDiag(iphelper::Protocol::Tcp, rows, receive));
            bool seen = false;
            bool settling = false;
            for (const MIB_TCPROW& row : rows) {
                seen = seen || row.dwState == state;
                settling = settling || row.dwState == MIB_TCP_STATE_FIN_WAIT1 ||
                           row.dwState == MIB_TCP_STATE_LAST_ACK;
            }
            if (seen && !settling)
                return;
            usleep(1000);
        }
        FAIL() << "no socket reached state " << state;
    }

    std::vector<int> fds;
    std::vector<char> receive;

  private:
    GetTcpTableFn savedTcp = nullptr;
    GetUdpTableFn savedUdp = nullptr;
    std::int32_t savedScanTcp = 0;
    std::int32_t savedScanUdp = 0;
};

} // namespace

TEST_F(KernelTables, SnapshotHoldsExactlyTheOpenSocketsInOrder)
{
    OpenKnownSockets();
    std::vector<unsigned char> snapshot;
    ASSERT_EQ(1, Snapshot(snapshot));
    ExpectRows(snapshot, KnownRows());
}

TEST_F(KernelTables, SettingsChooseTheProtocolsAndUnchangedSocketsGiveIdenticalSnapshots)
{
    OpenKnownSockets();
    std::vector<unsigned char> first;
    std::vector<unsigned char> again;

    oProp.SetScanUdp(0);
    ASSERT_EQ(1, Snapshot(first));
    ExpectRows(first, KnownTcpRows());

    oProp.SetScanTcp(0);
    oProp.SetScanUdp(1);
    ASSERT_EQ(1, Snapshot(first));
    ExpectRows(first, KnownUdpRows());

    oProp.SetScanTcp(1);
    ASSERT_EQ(1, Snapshot(first));
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(1, Snapshot(again));
        ASSERT_EQ(0, std::memcmp(first.data(), again.data(), 4 + 16 * View(first)->count));
    }
}

TEST_F(KernelTables, TableFunctionsKeepTheirContract)
{
    OpenKnownSockets();
    const std::size_t tcpRows = KnownTcpRows().size();

    EXPECT_EQ(87u, GetTcpTable(nullptr, nullptr, 1));
    std::uint32_t size = 0;
    ASSERT_EQ(122u, GetTcpTable(nullptr, &size, 1));
    ASSERT_EQ(4 + 20 * tcpRows, size);

    std::vector<std::uint32_t> words(size / 4, 0xDEADBEEF);
    auto* tcp = reinterpret_cast<MIB_TCPTABLE*>(words.data());
    std::uint32_t tooSmall = size - 1;
    EXPECT_EQ(122u, GetTcpTable(tcp, &tooSmall, 1));
    EXPECT_EQ(size, tooSmall);
    ASSERT_EQ(0u, GetTcpTable(tcp, &size, 1));
    ASSERT_EQ(tcpRows, tcp->dwNumEntries);
    // 127.0.0.7:1 then 127.0.0.7:256: each port in network order in the low 16 bits only.
    const MIB_TCPROW* rows = tcp->table;
    EXPECT_EQ(Addr("127.0.0.7"), rows[8].dwLocalAddr);
    EXPECT_EQ(std::uint32_t{htons(1)}, rows[8].dwLocalPort);
    EXPECT_EQ(std::uint32_t{htons(256)}, rows[9].dwLocalPort);
    EXPECT_EQ(std::uint32_t{htons(5000)}, rows[4].dwRemotePort);

    size = 0;
    ASSERT_EQ(122u, GetUdpTable(nullptr, &size, 1));
    ASSERT_EQ(4 + 8 * KnownUdpRows().size(), size);
    std::vector<std::uint32_t> udpWords(size / 4);
    auto* udp = reinterpret_cast<MIB_UDPTABLE*>(udpWords.data());
    ASSERT_EQ(0u, GetUdpTable(udp, &size, 1));
    ASSERT_EQ(KnownUdpRows().size(), udp->dwNumEntries);
    EXPECT_EQ(std::uint32_t{htons(53)}, udp->table[0].dwLocalPort);

    // Unordered, the same rows come back.
    size = 65536;
    std::vector<MIB_TCPROW> unordered(size / sizeof(MIB_TCPROW));
    auto* loose = reinterpret_cast<MIB_TCPTABLE*>(unordered.data());
    ASSERT_EQ(0u, GetTcpTable(loose, &size, 0));
    ASSERT_EQ(tcpRows, loose->dwNumEntries);
    iphelper::EndpointRows sorted(loose->table, loose->table + tcpRows);
    iphelper::SortRows(sorted);
    EXPECT_EQ(0, std::memcmp(sorted.data(), rows, tcpRows * sizeof(MIB_TCPROW)));
}

TEST_F(KernelTables, ReadAfterSizeQueryUsesThatQuerysRowsOnce)
{
    OpenKnownSockets();
    const std::uint32_t tcpRows = static_cast<std::uint32_t>(KnownTcpRows().size());
    std::vector<std::uint32_t> words(65536 / 4);
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(words.data());

    std::uint32_t size = 0;
    ASSERT_EQ(122u, GetTcpTable(nullptr, &size, 1));
    Listen("127.0.0.10", 1234);
    size = 65536;
    ASSERT_EQ(0u, GetTcpTable(table, &size, 1));
    EXPECT_EQ(tcpRows, table->dwNumEntries);

    ASSERT_EQ(0u, GetTcpTable(table, &size, 1));
    EXPECT_EQ(tcpRows + 1, table->dwNumEntries);

    // A query for the other protocol leaves this one's rows alone.
    size = 0;
    ASSERT_EQ(122u, GetTcpTable(nullptr, &size, 1));
    std::uint32_t udpSize = 0;
    ASSERT_EQ(122u, GetUdpTable(nullptr, &udpSize, 1));
    Listen("127.0.0.10", 1235);
    ASSERT_EQ(0u, GetTcpTable(table, &size, 1));
    EXPECT_EQ(tcpRows + 1, table->dwNumEntries);
}

TEST_F(KernelTables, ProcTablesAgreeWithSockDiag)
{
    OpenKnownSockets();
    for (auto protocol : {iphelper::Protocol::Tcp, iphelper::Protocol::Udp}) {
        iphelper::EndpointRows fromDiag;
        iphelper::EndpointRows fromProc;
        std::string text;
        ASSERT_EQ(0, iphelper::DumpSockDiag(protocol, fromDiag, receive));
        ASSERT_EQ(0,
                  iphelper::ReadProcNet(protocol, iphelper::ProcNetPath(protocol), text, fromProc));
        iphelper::SortRows(fromDiag);
        iphelper::SortRows(fromProc);
        ASSERT_EQ(fromDiag.size(), fromProc.size());
        EXPECT_EQ(
            0, std::memcmp(fromDiag.data(), fromProc.data(), fromDiag.size() * sizeof(MIB_TCPROW)));
    }
}

TEST_F(KernelTables, OrdinaryUserTakesTheSameSnapshot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    OpenKnownSockets();
    const std::vector<CONN_ROW> expected = KnownRows();

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0 || geteuid() != 65534)
            _exit(10);
        iphelper::EndpointRows rows;
        if (iphelper::DumpSockDiag(iphelper::Protocol::Tcp, rows, receive) != 0)
            _exit(11);
        std::vector<unsigned char> snapshot(kConnTableBytes);
        auto* table = reinterpret_cast<CONN_TABLE*>(snapshot.data());
        if (GetConnectionTable(table) != 1)
            _exit(12);
        if (table->count != expected.size() ||
            std::memcmp(table->rows, expected.data(), expected.size() * sizeof(CONN_ROW)) != 0)
            _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "10: dropping privileges, 11: sock_diag refused, "
                                         "12: snapshot failed, 13: rows differ";
}
