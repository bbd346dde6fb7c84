#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "monitor/host_cache.h"
#include "monitor/row_text.h"
#include "platform/name_lookup.h"
#include "settings/prop.h"

#if defined(__SANITIZE_THREAD__)
// glibc guards its resolver configuration with internal locks that
// ThreadSanitizer can't see; concurrent getnameinfo calls are safe.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:__libc_dynarray_emplace_enlarge\n";
}
#endif

namespace {

using namespace std::chrono_literals;

std::uint32_t Address(const char* dotted)
{
    return inet_addr(dotted);
}

std::string AddressText(std::uint32_t address)
{
    char text[kHostTextSize];
    FormatAddressText(address, text, sizeof text);
    return text;
}

std::string HostText(std::uint32_t address)
{
    char text[kHostTextSize];
    FormatHostAddress(address, text);
    return text;
}

// The resolver threads alive now, by id (sanitizers run threads of their own).
std::set<int> ThreadIds()
{
    std::set<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::string comm = std::string("/proc/self/task/") + entry->d_name + "/comm";
            char name[32] = {};
            if (FILE* file = std::fopen(comm.c_str(), "r")) {
                if (std::fgets(name, sizeof name, file) != nullptr)
                    name[std::strcspn(name, "\n")] = '\0';
                std::fclose(file);
            }
            if (std::strcmp(name, kResolverThreadName) == 0)
                ids.insert(std::atoi(entry->d_name));
        }
        closedir(dir);
    }
    return ids;
}

std::set<int> StartedSince(const std::set<int>& before)
{
    std::set<int> started;
    for (int id : ThreadIds()) {
        if (!before.count(id))
            started.insert(id);
    }
    return started;
}

// Waits for what a background thread does; the limit only keeps a broken
// build from hanging.
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = 60s)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string ExpectedComputerName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    for (const char* c = name; *c != '\0'; ++c) {
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '.' && *c != '-' && *c != '_')
            return "localhost";
    }
    return name;
}

const std::string kLongName(300, 'a');

std::string HostsFile()
{
    return "127.0.0.1 localhost\n"
           "127.0.0.11 alpha.quillon.test alpha\n"
           "127.0.0.12 esc\x1b[31mape.test\n"
           "127.0.0.13 <b>angle</b>.test\n"
           "127.0.0.14 " +
           kLongName +
           "\n"
           "127.0.0.15 back\\slash.test\n";
}

// A private network namespace, so that no query leaves the machine, and a
// private mount namespace whose /etc/hosts names the test addresses.
struct PrivateNetwork {
    bool ready = false;
    std::string reason;
};

std::string Failure(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

PrivateNetwork Enter()
{
    PrivateNetwork network;
    char path[] = "/tmp/quillon-hosts-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        network.reason = Failure("mkstemp");
        return network;
    }
    std::string text = HostsFile();
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    if (!written) {
        unlink(path);
        network.reason = "can't write the hosts file";
        return network;
    }

    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        network.reason = Failure("unshare(CLONE_NEWNS | CLONE_NEWNET)");
    else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        network.reason = Failure("making / private");
    else if (mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        network.reason = Failure("bind-mounting /etc/hosts");
    unlink(path);
    if (!network.reason.empty())
        return network;

    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    if (sock >= 0)
        close(sock);
    if (!up) {
        network.reason = Failure("bringing lo up");
        return network;
    }

    WSAStartup(kWinsockVersion, nullptr);
    network.ready = true;
    return network;
}

// Before anything else in this file: the socket library is not started yet.
TEST(NameLookup, FailsBeforeTheSocketLibraryStarts)
{
    char name[64] = "untouched";
    EXPECT_EQ(LookupHostName(Address("127.0.0.1"), name, sizeof name), 0);
}

TEST(NameLookup, ComputerNameNeedsRoom)
{
    char name[256];
    DWORD size = sizeof name;
    ASSERT_NE(GetComputerNameA(name, &size), 0);
    EXPECT_EQ(size, std::strlen(name));

    DWORD small = 1;
    EXPECT_EQ(GetComputerNameA(name, &small), 0);
    EXPECT_EQ(small, size + 1);
}

// Namespaces can only be entered while the process has one thread, so this
// suite comes before every case that starts threads.
class HostResolver : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        static PrivateNetwork entered = Enter();
        network = &entered;
    }

    void SetUp() override
    {
        if (!network->ready)
            GTEST_SKIP() << "no private network namespace: " << network->reason;
        oProp.changed = 0;
    }

    static PrivateNetwork* network;
};

PrivateNetwork* HostResolver::network = nullptr;

TEST_F(HostResolver, NameArrivesAfterTheAddressText)
{
    std::uint32_t address = Address("127.0.0.11");
    EXPECT_EQ(HostText(address), AddressText(address));
    ASSERT_TRUE(WaitFor([] { return oProp.changed.load() == 1; }));
    EXPECT_EQ(HostText(address), "alpha.quillon.test");

    const char* name = nullptr;
    ASSERT_NE(hostCache.GetName(address, &name), 0);
    EXPECT_STREQ(name, "alpha.quillon.test");

    oProp.SetShowHost(1);
    char endpoint[kHostTextSize];
    FormatEndpoint(address, 443, endpoint, sizeof endpoint);
    EXPECT_STREQ(endpoint, "alpha.quillon.test:https");
}

TEST_F(HostResolver, HostileNamesAreNeverShown)
{
    for (const char* dotted : {"127.0.0.12", "127.0.0.13", "127.0.0.14", "127.0.0.15"}) {
        SCOPED_TRACE(dotted);
        std::uint32_t address = Address(dotted);
        oProp.changed = 0;
        EXPECT_EQ(HostText(address), AddressText(address));
        // The lookup answered, so the list is refilled, still with the address.
        ASSERT_TRUE(WaitFor([] { return oProp.changed.load() == 1; }));
        EXPECT_EQ(HostText(address), AddressText(address));
        const char* name = "sentinel";
        ASSERT_NE(hostCache.GetName(address, &name), 0);
        EXPECT_EQ(name, nullptr);
    }
}

TEST_F(HostResolver, OwnAddressesGiveTheComputerNameWithoutALookup)
{
    std::set<int> before = ThreadIds();
    std::string computer = ExpectedComputerName();
    EXPECT_EQ(HostText(0), computer);
    EXPECT_EQ(HostText(Address("127.0.0.1")), computer);
    EXPECT_TRUE(StartedSince(before).empty());

    const char* name = "sentinel";
    EXPECT_EQ(hostCache.GetName(0, &name), 0);
    EXPECT_EQ(hostCache.GetName(Address("127.0.0.1"), &name), 0);
    EXPECT_STREQ(name, "sentinel");
}

// The slow path, once: two failed attempts, each followed by its wait.
TEST_F(HostResolver, FailedLookupsKeepTheAddressText)
{
    // Another loopback address takes the normal path; /etc/hosts doesn't name it.
    std::uint32_t address = Address("127.0.0.2");
    std::set<int> before = ThreadIds();
    auto start = std::chrono::steady_clock::now();

    EXPECT_EQ(HostText(address), AddressText(address));
    std::set<int> started = StartedSince(before);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_EQ(StartedSince(before), started);

    std::string task = "/proc/self/task/" + std::to_string(*started.begin());
    ASSERT_TRUE(WaitFor([&] { return access(task.c_str(), F_OK) != 0; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6000ms);

    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_TRUE(StartedSince(before).empty());
    EXPECT_EQ(oProp.changed.load(), 0);
}

class HostCache : public ::testing::Test {
  protected:
    CHostCache cache;
};

TEST_F(HostCache, EntriesAndNames)
{
    const char* name = "sentinel";
    EXPECT_EQ(cache.GetName(1, &name), 0);
    EXPECT_STREQ(name, "sentinel");

    EXPECT_NE(cache.AddAddress(1), 0);
    EXPECT_EQ(cache.AddAddress(1), 0);
    ASSERT_NE(cache.GetName(1, &name), 0);
    EXPECT_EQ(name, nullptr);

    cache.SetName(1, "one.test");
    EXPECT_EQ(cache.AddAddress(1), 0);
    ASSERT_NE(cache.GetName(1, &name), 0);
    EXPECT_STREQ(name, "one.test");
    cache.SetName(1, "");
    ASSERT_NE(cache.GetName(1, &name), 0);
    EXPECT_EQ(name, nullptr);

    char text[8];
    std::memset(text, '#', sizeof text);
    cache.SetName(2, "two.test");
    EXPECT_NE(cache.CopyName(2, text, 4), 0);
    EXPECT_STREQ(text, "two");
    EXPECT_EQ(text[4], '#');
    EXPECT_NE(cache.CopyName(1, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
}

TEST_F(HostCache, OnlyPlausibleHostNamesAreKept)
{
    std::string longest(kMaxHostNameLength, 'x');
    for (const std::string& good : {std::string("Host-1.example_x.ORG"), longest}) {
        cache.SetName(7, good.c_str());
        const char* name = nullptr;
        ASSERT_NE(cache.GetName(7, &name), 0);
        EXPECT_STREQ(name, good.c_str());
    }
    for (const std::string& bad :
         {longest + "x", std::string("two words"), std::string("line\nbreak"),
          std::string("tab\tname"), std::string("\x1b[2J"), std::string("<script>"),
          std::string("back\\slash"), std::string("caf\xc3\xa9.test"), std::string("a%sb")}) {
        cache.SetName(7, bad.c_str());
        const char* name = "sentinel";
        ASSERT_NE(cache.GetName(7, &name), 0);
        EXPECT_EQ(name, nullptr) << bad;
    }
}

TEST(HostCacheThreads, EachAddressIsEnteredOnce)
{
    constexpr int kThreads = 6;
    constexpr std::uint32_t kAddresses = 300;
    CHostCache cache;
    std::atomic<int> inserted[kAddresses] = {};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < kAddresses; ++i) {
                std::uint32_t address = (i * 7 + t * 53) % kAddresses;
                if (cache.AddAddress(address))
                    ++inserted[address];
                // Names of another range change while they are read.
                std::string name = "n" + std::to_string(t) + ".test";
                cache.SetName(1000 + i % 10, name.c_str());
                char copy[kHostTextSize];
                if (cache.CopyName(1000 + (i + 3) % 10, copy, sizeof copy) &&
                    !(std::strlen(copy) == 7 && copy[0] == 'n' &&
                      std::strcmp(copy + 2, ".test") == 0))
                    ++torn;
                const char* pending = "sentinel";
                if (!cache.GetName(address, &pending) || pending != nullptr)
                    ++torn;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (std::uint32_t i = 0; i < kAddresses; ++i)
        EXPECT_EQ(inserted[i].load(), 1) << i;
    EXPECT_EQ(torn.load(), 0);
}

TEST(HostCacheThreads, SeveralFormattersStartOneLookupPerAddress)
{
    constexpr int kThreads = 4;
    constexpr std::uint32_t kAddresses = 200;
    std::set<int> before = ThreadIds();
    std::atomic<int> waiting{kThreads};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            // All formatters meet every new address at about the same moment.
            --waiting;
            while (waiting.load() > 0)
                std::this_thread::yield();
            for (std::uint32_t i = 0; i < kAddresses; ++i) {
                std::uint32_t address = htonl(0x0A4D0000u + i);
                if (HostText(address) != AddressText(address))
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    // The resolvers spend at least 6 s in their waits, so all of them are still here.
    EXPECT_EQ(StartedSince(before).size(), static_cast<std::size_t>(kAddresses));
}

// Detached resolvers may still be waiting, and other threads still storing
// names, while the process exits: nothing they touch may be gone, and the
// cache (reachable from its global) is no leak.
TEST(HostCacheExit, ExitWhileResolversWait)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            for (std::uint32_t i = 1; i <= 16; ++i)
                HostText(htonl(0x0A630000u + i));
            // A long list keeps the storing threads walking it while the process exits.
            for (std::uint32_t i = 0; i < 2000; ++i)
                hostCache.SetName(htonl(0x0A640000u + i), "named.test");
            for (int t = 0; t < 3; ++t) {
                std::thread([t] {
                    for (std::uint32_t i = 0;; ++i) {
                        hostCache.SetName(htonl(0x0A640000u + 1999 - i % 8),
                                          t ? "x.test" : "y.test");
                        HostText(htonl(0x0A630000u + (i % 16) + 1));
                    }
                }).detach();
            }
            std::this_thread::sleep_for(50ms);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
