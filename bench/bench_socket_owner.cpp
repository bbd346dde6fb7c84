#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "platform/socket_owner.h"
#include "tests/support/network_namespace.h"

namespace {

// About what a desktop session runs, each process with a dozen descriptors.
constexpr int kProcesses = 300;
constexpr int kDescriptorsEach = 9;
constexpr std::uint16_t kHeldPort = 5000;

std::size_t CountProcesses()
{
    std::size_t count = 0;
    DIR* proc = opendir("/proc");
    while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr)
        count += entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
    if (proc != nullptr)
        closedir(proc);
    return count;
}

// Fresh pid, mount and network namespaces: /proc then lists only the
// benchmark's own processes, and the socket table only its own sockets.
// The caller goes on as the first process of the new pid namespace.
bool EnterPrivateNamespaces()
{
    if (!EnterPrivateNetwork(CLONE_NEWPID | CLONE_NEWNS).empty())
        return false;
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
}

// Idle processes with descriptors of their own; the last one also holds
// the listener that the lookup asks for.
bool StartProcesses(int count)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{AF_INET, htons(kHeldPort), {inet_addr("127.0.0.1")}, {}};
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        listen(listener, 8) != 0)
        return false;
    for (int i = 0; i < count; ++i) {
        const pid_t child = fork();
        if (child < 0)
            return false;
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (i + 1 < count)
                close(listener);
            for (int fd = 0; fd < kDescriptorsEach; ++fd)
                socket(AF_INET, SOCK_DGRAM, 0);
            for (;;)
                pause();
        }
    }
    close(listener);
    return true;
}

void BM_FindSocketOwners(benchmark::State& state)
{
    const SOCKET_ENDPOINT endpoint{true, inet_addr("127.0.0.1"), kHeldPort, 0, 0};
    std::size_t holders = 0;
    for (auto _ : state) {
        const SOCKET_OWNERS owners = FindSocketOwners(endpoint);
        holders = owners.holders.size();
        benchmark::DoNotOptimize(holders);
    }
    if (holders != 1)
        state.SkipWithError("the holder was not found");
    state.counters["processes"] = static_cast<double>(CountProcesses());
}

// The floor: every /proc/PID/fd opened and each of its links read, nothing
// compared or kept.
void BM_BareProcFdWalk(benchmark::State& state)
{
    std::size_t links = 0;
    for (auto _ : state) {
        links = 0;
        DIR* proc = opendir("/proc");
        while (const dirent* entry = readdir(proc)) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            char path[sizeof entry->d_name + 4];
            std::snprintf(path, sizeof path, "%s/fd", entry->d_name);
            const int fdDir = openat(dirfd(proc), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            DIR* fds = fdDir >= 0 ? fdopendir(fdDir) : nullptr;
            while (const dirent* fd = fds != nullptr ? readdir(fds) : nullptr) {
                char link[64];
                links += readlinkat(fdDir, fd->d_name, link, sizeof link) > 0;
            }
            if (fds != nullptr)
                closedir(fds);
        }
        closedir(proc);
        benchmark::DoNotOptimize(links);
    }
    state.counters["links"] = static_cast<double>(links);
}

BENCHMARK(BM_FindSocketOwners)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareProcFdWalk)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    const bool isolated = EnterPrivateNamespaces();
    if (!StartProcesses(isolated ? kProcesses - 1 : kProcesses)) {
        std::perror("starting the benchmark's processes");
        return 1;
    }
    std::printf("%zu processes%s\n", CountProcesses(),
                isolated ? " in a private pid namespace"
                         : ", the machine's own among them: no private namespace");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
