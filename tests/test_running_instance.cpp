#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>

#include "platform/fd_io.h"
#include "platform/running_instance.h"
#include "test_support.h"

using namespace std::chrono_literals;

namespace {

mode_t ModeOf(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode : 0;
}

bool Connects(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

int ExitCode(pid_t child)
{
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(InstanceFolder, IsTheRuntimeFolderElseAPrivateFolderUnderTmp)
{
    TempDir root;
    const std::string runtime = root / "runtime";
    const std::string fallback = root / ("quillon-" + std::to_string(geteuid()));
    ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
    EXPECT_EQ(InstanceFolder(runtime.c_str(), root.path), runtime);

    // Unset, or open to others: the fallback, created for the user alone.
    for (const char* given : {static_cast<const char*>(nullptr), "relative", root.path.c_str()}) {
        SCOPED_TRACE(given ? given : "unset");
        chmod(root.path.c_str(), 0755);
        EXPECT_EQ(InstanceFolder(given, root.path), fallback);
        EXPECT_EQ(ModeOf(fallback) & 0777, 0700u);
    }

    // A fallback that someone else could have prepared is not used.
    chmod(fallback.c_str(), 0755);
    EXPECT_EQ(InstanceFolder(nullptr, root.path), "");
    rmdir(fallback.c_str());
    ASSERT_EQ(0, symlink(runtime.c_str(), fallback.c_str()));
    EXPECT_EQ(InstanceFolder(nullptr, root.path), "");
    unlink(fallback.c_str());
    if (geteuid() == 0) {
        ASSERT_EQ(0, mkdir(fallback.c_str(), 0700));
        ASSERT_EQ(0, chown(fallback.c_str(), 65534, 65534));
        EXPECT_EQ(InstanceFolder(nullptr, root.path), "");
    }
}

TEST(InstanceName, CarriesTheDisplay)
{
    struct CASE {
        const char* wayland;
        const char* x11;
        const char* name;
    } cases[] = {
        {nullptr, ":0.0", "quillon-:0"},
        {nullptr, ":1", "quillon-:1"},
        {"", "host:10.0", "quillon-host:10"},
        {"wayland-0", ":0", "quillon-wayland-0"},
        {"/run/w 1", nullptr, "quillon-_2frun_2fw_201"},
        {nullptr, nullptr, "quillon-"},
    };
    for (const CASE& c : cases)
        EXPECT_EQ(InstanceName(c.wayland, c.x11), c.name) << (c.x11 ? c.x11 : "");
}

TEST(RunningInstance, AKilledInstancesSocketDoesNotBlockAStart)
{
    TempDir folder;
    const std::string path = folder / "quillon-:9";
    const pid_t killed = StartChild([&path](int ready) {
        CRunningInstance instance(path);
        if (instance.Claim(0ms) == InstanceRole::Primary && write(ready, "", 1) == 1)
            pause();
    });
    ASSERT_GT(killed, 0);
    kill(killed, SIGKILL);
    waitpid(killed, nullptr, 0);
    ASSERT_TRUE(S_ISSOCK(ModeOf(path))) << "the killed instance left no socket";
    EXPECT_FALSE(Connects(path));

    CRunningInstance instance(path);
    EXPECT_EQ(instance.Claim(0ms), InstanceRole::Primary);
    UniqueFd listening(instance.TakeListeningSocket());
    EXPECT_TRUE(listening.Valid());
    EXPECT_TRUE(Connects(path));
}

TEST(RunningInstance, LaunchesAtOnceLeaveExactlyOneRunning)
{
    TempDir folder;
    const std::string path = folder / "quillon-:9";
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

TEST(RunningInstance, ALaterLaunchWaitsForTheInstanceToListenThenAsksForTheWindow)
{
    TempDir folder;
    const std::string path = folder / "quillon-:9";
    // An instance that holds the lock a while before it listens, then answers
    // one request for its window.
    const pid_t running = StartChild([&path](int ready) {
        ExclusiveFileLock lock(path, ExclusiveFileLock::Wait::No);
        if (!lock.Held() || write(ready, "", 1) != 1)
            _exit(1);
        usleep(300 * 1000);
        UniqueFd listening(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (bind(listening.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listening.Get(), 1) != 0)
            _exit(2);
        UniqueFd connection(accept(listening.Get(), nullptr, nullptr));
        char request[sizeof kShowWindowRequest] = {};
        if (ReadAll(connection.Get(), request, sizeof request - 1) < 0 ||
            std::strcmp(request, kShowWindowRequest) != 0)
            _exit(3);
        _exit(WriteAll(connection.Get(), kWindowShownReply, sizeof kWindowShownReply - 1) ? 0 : 4);
    });
    ASSERT_GT(running, 0);
    CRunningInstance launch(path);
    EXPECT_EQ(launch.Claim(5s), InstanceRole::Secondary);
    EXPECT_EQ(ExitCode(running), 0) << "2: no socket, 3: no request for the window";
}
