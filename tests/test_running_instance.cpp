#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>

#include "platform/fd_io.h"
#include "platform/running_instance.h"
#include "test_support.h"

mode_t ModeOf(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

// A stream socket connected to `path`, or bound to it and listening.
UniqueFd UnixSocket(const std::string& path, bool listens = false)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    const bool ready = listens ? bind(fd.Get(), at, sizeof address) == 0 && listen(fd.Get(), 1) == 0
                               : connect(fd.Get(), at, sizeof address) == 0;
    return ready ? std::move(fd) : UniqueFd();
}

TEST(InstanceFolder, IsTheRuntimeFolderElseAPrivateFolderUnderHome)
{
    TempDir home;
    const std::string runtime = home / "runtime";
    const std::string fallback = home / ".cache/quillon";
    ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
    EXPECT_EQ(InstanceFolder(runtime.c_str(), home.path), runtime);

    // Unset, or open to others: the fallback, made with its parent for the user alone.
    for (const char* given : {static_cast<const char*>(nullptr), "relative", home.path.c_str()}) {
        SCOPED_TRACE(given ? given : "unset");
        chmod(home.path.c_str(), 0755);
        EXPECT_EQ(InstanceFolder(given, home.path), fallback);
        EXPECT_EQ(ModeOf(fallback) & 0777, 0700u);
    }
    EXPECT_EQ(InstanceFolder(nullptr, ""), "");

    // A fallback that someone else could have prepared is not used.
    chmod(fallback.c_str(), 0750);
    EXPECT_EQ(InstanceFolder(nullptr, home.path), "");
    rmdir(fallback.c_str());
    ASSERT_EQ(0, symlink(runtime.c_str(), fallback.c_str()));
    EXPECT_EQ(InstanceFolder(nullptr, home.path), "");
    unlink(fallback.c_str());
    if (geteuid() == 0) {
        ASSERT_EQ(0, mkdir(fallback.c_str(), 0700));
        ASSERT_EQ(0, chown(fallback.c_str(), kNobody, kNobody));
        EXPECT_EQ(InstanceFolder(nullptr, home.path), "");
    }
}

TEST(InstanceName, CarriesTheDisplay)
{
    const struct {
        const char *wayland, *x11, *runtime, *name;
    } cases[] = {
        {nullptr, ":0.0", nullptr, "quillon-:0"},
        {"wayland-0", ":0", "/run/user/7", "quillon-wayland-0"},
        {"/run/user/7/wayland-0", nullptr, "/run/user/7/", "quillon-wayland-0"},
        {"/run/user/7/w/wayland-0", nullptr, "/run/user/7",
         "quillon-_2frun_2fuser_2f7_2fw_2fwayland-0"},
        {"/run/w 1", nullptr, "/run/user/7", "quillon-_2frun_2fw_201"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InstanceName(c.wayland, c.x11, c.runtime), c.name)
            << (c.wayland ? c.wayland : "");
}

class RunningInstance : public ::testing::Test {
protected:
    TempDir folder;
    std::string path = folder / "quillon-:9";
};

TEST_F(RunningInstance, AKilledInstancesSocketDoesNotBlockAStart)
{
    const pid_t killed = StartChild([this](int ready) {
        CRunningInstance instance(path);
        if (instance.Claim(0ms) == InstanceRole::Primary && write(ready, "", 1) == 1)
            pause();
    });
    ASSERT_GT(killed, 0);
    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);
    ASSERT_TRUE(S_ISSOCK(ModeOf(path))) << "the killed instance left no socket";
    EXPECT_FALSE(UnixSocket(path));

    CRunningInstance instance(path);
    EXPECT_EQ(instance.Claim(0ms), InstanceRole::Primary);
    const UniqueFd listening(instance.TakeListeningSocket());
    EXPECT_TRUE(listening.Valid());
    EXPECT_TRUE(UnixSocket(path));
}

// Something that is not a socket where the socket belongs: the instance cannot
// listen, so it must not keep later launches waiting on an answer.
TEST_F(RunningInstance, OneThatCannotListenLetsLaterLaunchesRun)
{
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    CRunningInstance first(path);
    EXPECT_EQ(first.Claim(0ms), InstanceRole::Primary);
    EXPECT_EQ(first.TakeListeningSocket(), -1);
    EXPECT_EQ(CRunningInstance(path).Claim(0ms), InstanceRole::Primary);
}

TEST_F(RunningInstance, LaunchesAtOnceLeaveExactlyOneRunning)
{
    int go[2];
    ASSERT_EQ(0, pipe(go));
    std::vector<pid_t> launches;
    for (int i = 0; i < 4; ++i) {
        launches.push_back(StartChild([&](int ready) {
            close(go[1]);
            char byte;
            if (write(ready, "", 1) != 1 || read(go[0], &byte, 1) != 0)
                _exit(9);
            CRunningInstance instance(path);
            const InstanceRole role = instance.Claim(300ms);
            // The one that runs stays until the others have given up on it.
            if (role == InstanceRole::Primary)
                usleep(600 * 1000);
            _exit(static_cast<int>(role));
        }));
    }
    close(go[0]);
    close(go[1]); // all start at once
    std::vector<int> roles;
    for (pid_t launch : launches)
        roles.push_back(ExitCode(launch));
    std::sort(roles.begin(), roles.end());
    const int primary = static_cast<int>(InstanceRole::Primary);
    const int unanswered = static_cast<int>(InstanceRole::Unanswered);
    EXPECT_EQ(roles, (std::vector<int>{primary, unanswered, unanswered, unanswered}));
}

// A stopped instance (Ctrl+Z, a debugger) accepts nothing, and once its listen
// queue is full a blocking connect would wait for good. The launches run in a
// child that an alarm ends, should one of them hang.
TEST_F(RunningInstance, LaunchesGiveUpOnAStoppedInstance)
{
    const pid_t stopped = StartChild([this](int ready) {
        CRunningInstance instance(path);
        if (instance.Claim(0ms) == InstanceRole::Primary && write(ready, "", 1) == 1)
            raise(SIGSTOP);
    });
    ASSERT_GT(stopped, 0);
    const pid_t launches = StartChild([this](int ready) {
        alarm(60);
        if (write(ready, "", 1) != 1)
            _exit(9);
        for (int i = 0; i < 12; ++i)
            if (CRunningInstance(path).Claim(50ms) != InstanceRole::Unanswered)
                _exit(10 + i);
    });
    EXPECT_EQ(ExitCode(launches), 0);
    kill(stopped, SIGKILL);
    waitpid(stopped, nullptr, 0);
}

// A second launch's token reaches the running instance; a hostile one is left out.
TEST_F(RunningInstance, ASecondLaunchPassesItsActivationToken)
{
    const std::string token = "sway/9_TIME1234-abc";
    const pid_t running = StartChild([&](int ready) {
        CRunningInstance instance(path);
        if (instance.Claim(0ms) != InstanceRole::Primary || write(ready, "", 1) != 1)
            _exit(9);
        const UniqueFd listening(instance.TakeListeningSocket());
        const UniqueFd connection(accept(listening.Get(), nullptr, nullptr));
        char line[kLongestShowWindowRequest];
        const ssize_t size = recv(connection.Get(), line, sizeof line, 0);
        std::string got;
        const bool asked = size > 0 && ParseShowWindowRequest({line, std::size_t(size)}, got);
        WriteAll(connection.Get(), kWindowShownReply, sizeof kWindowShownReply - 1);
        _exit(asked && got == token ? 0 : 3);
    });
    ASSERT_GT(running, 0);
    EXPECT_EQ(CRunningInstance(path).Claim(5s, token), InstanceRole::Secondary);
    EXPECT_EQ(ExitCode(running), 0);
    std::string got = "stale";
    for (const std::string& hostile :
         {std::string("a b"), std::string("a\x1b]0;x"), std::string(256, 'x'), std::string()}) {
        EXPECT_EQ(ShowWindowRequest(hostile), kShowWindowRequest);
        EXPECT_TRUE(ParseShowWindowRequest("show " + hostile + "\n", got));
        EXPECT_EQ(got, "");
    }
}
