#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "monitor/conn_table.h"
#include "platform/iphelper/proc_net_table.h"
#include "platform/iphelper/sock_diag_dump.h"
#include "settings/prop.h"
#include "test_support.h"

using iphelper::Protocol;

static std::uint32_t Addr(const char* dotted)
{
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

// Rows compare byte for byte and print readably.
static bool operator==(const CONN_ROW& a, const CONN_ROW& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

static void PrintTo(const CONN_ROW& row, std::ostream* out)
{
    *out << row.state << " " << inet_ntoa(in_addr{row.localAddr}) << ":" << row.localPort << " "
         << inet_ntoa(in_addr{row.remoteAddr}) << ":" << row.remotePort;
}

namespace {

CONN_ROW Row(std::uint32_t state, const char* local, std::uint16_t localPort,
             const char* remote = "0.0.0.0", std::uint16_t remotePort = 0)
{
    return CONN_ROW{state, Addr(local), localPort, Addr(remote), remotePort};
}

// The sockets that the fixture opens, in the order that a snapshot must hold them.
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

class KernelTables : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!EnterEmptyNetworkNamespace())
            GTEST_SKIP() << "cannot create a network namespace: " << std::strerror(errno);
        g_pGetTcpTable = GetTcpTable;
        g_pGetUdpTable = GetUdpTable;
        oProp.SetScanTcp(1);
        oProp.SetScanUdp(1);

        Open(SOCK_STREAM, "0.0.0.0", 22, true);
        const int main = Open(SOCK_STREAM, "127.0.0.1", 5000, true);
        const int web = Open(SOCK_STREAM, "127.0.0.2", 80, true);
        Open(SOCK_STREAM, "127.1.0.1", 5000, true);
        Open(SOCK_STREAM, "127.0.0.7", 256, true);
        Open(SOCK_STREAM, "127.0.0.7", 1, true);
        Open(SOCK_STREAM, "127.0.0.6", 7000, true, SOL_SOCKET, SO_REUSEPORT);
        Open(SOCK_STREAM, "127.0.0.6", 7000, true, SOL_SOCKET, SO_REUSEPORT);
        Open(SOCK_STREAM, "200.0.0.1", 1, true, IPPROTO_IP, IP_FREEBIND); // no interface has it
        Open(SOCK_STREAM, "127.0.0.8", 6000, false);                      // only bound: no endpoint
        Connect(Open(SOCK_STREAM, "127.0.0.3", 40000, false), "127.0.0.1", 5000);
        fds.push_back(accept(main, nullptr, nullptr));
        Open(SOCK_DGRAM, "0.0.0.0", 53, false);
        Open(SOCK_DGRAM, "127.0.0.5", 5353, false);
        Open(SOCK_DGRAM, "127.0.0.1", 9999, false);
        Connect(Open(SOCK_DGRAM, "127.0.0.9", 6001, false), "127.0.0.1", 9999);

        // The client closes first, so it is the end left in TIME_WAIT.
        const int client = Open(SOCK_STREAM, "127.0.0.4", 40001, false);
        Connect(client, "127.0.0.2", 80);
        const int server = accept(web, nullptr, nullptr);
        close(client);
        std::erase(fds, client);
        char end;
        ASSERT_EQ(0, read(server, &end, 1));
        close(server);
        // Until the server's end has gone: loopback closes finish in the kernel's own time.
        for (int tries = 0; tries < 5000 && Snapshot().size() > kTcpRows.size() + kUdpRows.size();
             ++tries)
            usleep(1000);
    }

    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
    }

    int Open(int type, const char* address, std::uint16_t port, bool listens, int level = 0,
             int option = 0)
    {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        fds.push_back(fd);
        const int on = 1;
        if (option != 0)
            setsockopt(fd, level, option, &on, sizeof on);
        sockaddr_in local{AF_INET, htons(port), {Addr(address)}, {}};
        EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local)) << address;
        EXPECT_TRUE(!listens || listen(fd, 16) == 0);
        return fd;
    }

    static void Connect(int fd, const char* to, std::uint16_t port)
    {
        sockaddr_in remote{AF_INET, htons(port), {Addr(to)}, {}};
        EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote));
    }

    std::vector<CONN_ROW> Snapshot()
    {
        buffer.assign(kConnTableBytes, 0);
        auto* table = reinterpret_cast<CONN_TABLE*>(buffer.data());
        EXPECT_EQ(1, GetConnectionTable(table));
        return std::vector<CONN_ROW>(table->rows, table->rows + table->count);
    }

    std::vector<int> fds;
    std::vector<char> receive;
    std::vector<unsigned char> buffer;
};

} // namespace

TEST_F(KernelTables, SnapshotHoldsExactlyTheOpenSocketsInOrderAsTheSettingsAsk)
{
    std::vector<CONN_ROW> all = kTcpRows;
    all.insert(all.end(), kUdpRows.begin(), kUdpRows.end());
    EXPECT_EQ(all, Snapshot());
    oProp.SetScanUdp(0);
    EXPECT_EQ(kTcpRows, Snapshot());
    oProp.SetScanTcp(0);
    oProp.SetScanUdp(1);
    EXPECT_EQ(kUdpRows, Snapshot());
}

TEST_F(KernelTables, UnchangedSocketsGiveIdenticalSnapshotsOfTheCurrentNamespace)
{
    Snapshot();
    const std::vector<unsigned char> first = buffer;
    for (int round = 0; round < 20; ++round) {
        Snapshot();
        ASSERT_EQ(first, buffer) << round;
    }

    // The same thread, moved to another namespace, sees that one's sockets.
    ASSERT_TRUE(EnterEmptyNetworkNamespace());
    EXPECT_TRUE(Snapshot().empty());
}

TEST_F(KernelTables, ProcTablesAgreeWithSockDiag)
{
    for (Protocol protocol : {Protocol::Tcp, Protocol::Udp}) {
        iphelper::EndpointRows diag, proc;
        std::string text;
        ASSERT_EQ(0, iphelper::DumpSockDiag(protocol, diag, receive));
        ASSERT_EQ(0, iphelper::ReadProcNet(protocol, iphelper::ProcNetPath(protocol), text, proc));
        iphelper::SortRows(diag);
        iphelper::SortRows(proc);
        ASSERT_EQ(diag.size(), proc.size());
        EXPECT_EQ(0, std::memcmp(diag.data(), proc.data(), diag.size() * sizeof(MIB_TCPROW)));
    }
}

TEST_F(KernelTables, OrdinaryUserTakesTheSameSnapshot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    const std::vector<CONN_ROW> expected = Snapshot();
    iphelper::EndpointRows parentRows, rows;
    ASSERT_EQ(0, iphelper::DumpSockDiag(Protocol::Tcp, parentRows, receive));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // With none of the parent's sockets, through sock_diag itself, not the /proc fallback.
        close_range(3, ~0u, 0);
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(10);
        if (iphelper::DumpSockDiag(Protocol::Tcp, rows, receive) != 0 ||
            rows.size() != parentRows.size())
            _exit(11);
        _exit(Snapshot() == expected ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "10: dropping privileges, 11: sock_diag refused, 12: snapshot differs";
}
