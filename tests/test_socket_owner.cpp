#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <fstream>
#include <set>

#include "platform/socket_owner.h"
#include "test_support.h"

namespace {

constexpr uid_t kNobody = 65534;

SOCKET_ENDPOINT Endpoint(bool tcp, const char* local, std::uint16_t localPort,
                         const char* remote = "0.0.0.0", std::uint16_t remotePort = 0)
{
    return {tcp, inet_addr(local), localPort, inet_addr(remote), remotePort};
}

int Open(int type, const char* address, std::uint16_t port)
{
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in local{AF_INET, htons(port), {inet_addr(address)}, {}};
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local)) << address;
    return fd;
}

void Connect(int fd, const char* address, std::uint16_t port)
{
    sockaddr_in remote{AF_INET, htons(port), {inet_addr(address)}, {}};
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote));
}

std::set<pid_t> Pids(const SOCKET_OWNERS& owners)
{
    std::set<pid_t> pids;
    for (const SOCKET_HOLDER& holder : owners.holders)
        pids.insert(holder.pid);
    return pids;
}

// Sockets in a private network namespace, some also or only held by children.
class SocketOwners : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!EnterEmptyNetworkNamespace())
            GTEST_SKIP() << "cannot create a network namespace: " << std::strerror(errno);
        listener = Open(SOCK_STREAM, "127.0.0.1", 5000);
        ASSERT_EQ(0, listen(listener, 8));
        const int client = Open(SOCK_STREAM, "127.0.0.2", 40000);
        Connect(client, "127.0.0.1", 5000);
        const int server = accept(listener, nullptr, nullptr);
        shared = Open(SOCK_DGRAM, "127.0.0.3", 53);
        Connect(shared, "127.0.0.9", 9); // a connected UDP socket still shows its local end

        // TIME_WAIT: the end that closes first stays behind with no file.
        const int web = Open(SOCK_STREAM, "127.0.0.1", 80);
        ASSERT_EQ(0, listen(web, 8));
        const int leaving = Open(SOCK_STREAM, "127.0.0.4", 40001);
        Connect(leaving, "127.0.0.1", 80);
        const int served = accept(web, nullptr, nullptr);
        close(leaving);
        char end;
        ASSERT_EQ(0, read(served, &end, 1));
        close(served);
        close(web);

        sharer = Hold(shared, getuid());
        if (geteuid() == 0) {
            otherUser = Hold(server, kNobody);
            close(server);
        } else {
            fds.push_back(server);
        }
        fds.insert(fds.end(), {listener, client, shared});
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

    // A child named "holder", running as `uid`, with `fd` its only socket.
    static pid_t Hold(int fd, uid_t uid)
    {
        return StartChild([fd, uid](int ready) {
            const int kept = dup2(fd, 100);
            dup2(ready, 101);
            close_range(3, 99, 0);
            prctl(PR_SET_NAME, "holder");
            if (uid != getuid() && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                                    setresuid(uid, uid, uid) != 0))
                _exit(1);
            if (kept == 100 && write(101, "", 1) == 1)
                pause();
        });
    }

    int listener = -1;
    int shared = -1;
    pid_t sharer = -1;
    pid_t otherUser = -1;
    std::vector<int> fds;
};

} // namespace

TEST_F(SocketOwners, NameEveryHoldingProcessOrSayWhyNone)
{
    ASSERT_GT(sharer, 0);
    const pid_t self = getpid();
    struct CASE {
        const char* what;
        SOCKET_ENDPOINT endpoint;
        SocketOwnerStatus status;
        std::set<pid_t> pids;
    } cases[] = {
        {"listener", Endpoint(true, "127.0.0.1", 5000), SocketOwnerStatus::Found, {self}},
        {"client end",
         Endpoint(true, "127.0.0.2", 40000, "127.0.0.1", 5000),
         SocketOwnerStatus::Found,
         {self}},
        {"shared with a child",
         Endpoint(false, "127.0.0.3", 53),
         SocketOwnerStatus::Found,
         {self, sharer}},
        {"time wait",
         Endpoint(true, "127.0.0.4", 40001, "127.0.0.1", 80),
         SocketOwnerStatus::NoProcess,
         {}},
        {"closed", Endpoint(true, "127.0.0.1", 5001), SocketOwnerStatus::Gone, {}},
        {"same port, other protocol",
         Endpoint(false, "127.0.0.1", 5000),
         SocketOwnerStatus::Gone,
         {}},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        const SOCKET_OWNERS owners = FindSocketOwners(c.endpoint);
        EXPECT_EQ(owners.status, c.status);
        EXPECT_EQ(Pids(owners), c.pids);
    }

    std::string command;
    std::getline(std::ifstream("/proc/self/comm"), command);
    const SOCKET_OWNERS both = FindSocketOwners(Endpoint(false, "127.0.0.3", 53));
    ASSERT_EQ(both.holders.size(), 2u);
    for (const SOCKET_HOLDER& holder : both.holders) {
        EXPECT_EQ(holder.command, holder.pid == self ? command : "holder");
        EXPECT_EQ(holder.uid, geteuid());
        EXPECT_EQ(holder.user, getpwuid(geteuid())->pw_name);
    }
}

TEST_F(SocketOwners, AnotherUsersProcessIsNamedOnlyToThoseWhoMaySeeIt)
{
    if (otherUser <= 0)
        GTEST_SKIP() << "needs root for a child of another user";
    const SOCKET_ENDPOINT accepted = Endpoint(true, "127.0.0.1", 5000, "127.0.0.2", 40000);
    const SOCKET_OWNERS owners = FindSocketOwners(accepted);
    ASSERT_EQ(owners.status, SocketOwnerStatus::Found);
    ASSERT_EQ(owners.holders.size(), 1u);
    EXPECT_EQ(owners.holders[0].pid, otherUser);
    EXPECT_EQ(owners.holders[0].uid, kNobody);
    const passwd* nobody = getpwuid(kNobody);
    EXPECT_EQ(owners.holders[0].user, nobody ? nobody->pw_name : std::to_string(kNobody));

    // The same user looking at root's listener sees that it is held, and by whom.
    const pid_t child = fork();
    if (child == 0) {
        close_range(3, ~0u, 0);
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(10);
        const SOCKET_OWNERS seen = FindSocketOwners(Endpoint(true, "127.0.0.1", 5000));
        _exit(seen.status == SocketOwnerStatus::Hidden && seen.socketUser == "root" ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "10: dropping privileges, 11: the listener was not reported as hidden";
}
