#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
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
// glibc guards its resolver state with locks ThreadSanitizer can't see.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:__libc_dynarray_emplace_enlarge\n";
}
#endif

namespace {

using namespace std::chrono_literals;

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

// Resolver threads, by id, started since `before`; the name tells them apart
// from the sanitizers' own threads.
std::set<int> Resolvers(const std::set<int>& before = {})
{
    std::set<int> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        int id = std::stoi(task.path().filename());
        if (std::getline(comm, name) && name == kResolverThreadName && !before.count(id))
            ids.insert(id);
    }
    return ids;
}

// A dotted name of `length` characters, made of labels of at most 63.
std::string LongName(std::size_t length)
{
    std::string name;
    while (name.size() < length)
        name += name.size() % 64 == 63 ? '.' : 'n';
    return name;
}

// The limit only keeps a broken build from hanging.
bool WaitFor(const std::function<bool()>& done)
{
    auto end = std::chrono::steady_clock::now() + 60s;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    return done();
}

// Private network and mount namespaces: no query leaves the machine, and
// /etc/hosts names the test addresses. Empty on success, else why not.
std::string EnterPrivateNetwork()
{
    std::string hosts = "127.0.0.11 alpha.quillon.test alpha\n127.0.0.12 esc\x1b[31mape.test\n"
                        "127.0.0.13 <b>angle</b>.test\n127.0.0.15 back\\slash.test\n";
    hosts += "127.0.0.14 " + std::string(300, 'a') + "\n127.0.0.16 " + LongName(255) + "\n";
    auto failed = [](const char* what) { return std::string(what) + ": " + std::strerror(errno); };
    char path[] = "/tmp/quillon-hosts-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return failed("mkstemp");
    std::string reason;
    if (write(fd, hosts.data(), hosts.size()) != static_cast<ssize_t>(hosts.size()))
        reason = failed("writing the hosts file");
    else if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        reason = failed("unshare(CLONE_NEWNS | CLONE_NEWNET)");
    else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        reason = failed("making / private");
    else if (mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        reason = failed("bind-mounting /etc/hosts");
    else
        WSAStartup(kWinsockVersion, nullptr);
    close(fd);
    unlink(path);
    return reason;
}

// Runs first: the threaded cases below rely on it to keep their lookups off the network.
TEST(NameLookup, FailsBeforeTheSocketLibraryStarts)
{
    char name[64];
    EXPECT_EQ(LookupHostName(inet_addr("127.0.0.1"), name, sizeof name), 0);
}

// Namespaces can be entered only while the process has one thread, so these
// cases come before every one that starts threads.
class HostResolver : public ::testing::Test {
protected:
    void SetUp() override
    {
        static const std::string failure = EnterPrivateNetwork();
        if (!failure.empty())
            GTEST_SKIP() << "no private network namespace: " << failure;
        oProp.changed = 0;
    }
};

TEST_F(HostResolver, NamesArriveLaterAndOnlyPlausibleOnesAreShown)
{
    const std::pair<const char*, std::string> answers[] = {
        {"127.0.0.11", "alpha.quillon.test"},  {"127.0.0.12", ""}, {"127.0.0.13", ""},
        {"127.0.0.14", std::string(255, 'a')}, {"127.0.0.15", ""}, {"127.0.0.16", LongName(255)}};
    for (const auto& [dotted, shown] : answers) {
        SCOPED_TRACE(dotted);
        std::uint32_t address = inet_addr(dotted);
        oProp.changed = 0;
        EXPECT_EQ(HostText(address), AddressText(address));
        // Every answer marks the list for refilling, a refused name too.
        ASSERT_TRUE(WaitFor([] { return oProp.changed.load() == 1; }));
        EXPECT_EQ(HostText(address), shown.empty() ? AddressText(address) : shown);
    }
}

TEST_F(HostResolver, OwnAddressesGiveTheComputerNameWithoutALookup)
{
    char computer[256] = {};
    gethostname(computer, sizeof computer - 1);
    std::set<int> before = Resolvers();
    EXPECT_EQ(HostText(0), computer);
    EXPECT_EQ(HostText(inet_addr("127.0.0.1")), computer);
    EXPECT_TRUE(Resolvers(before).empty());
    EXPECT_EQ(hostCache.GetName(0, nullptr), 0);
    EXPECT_EQ(hostCache.GetName(inet_addr("127.0.0.1"), nullptr), 0);
}

// The slow path, once: two failed attempts, each followed by its wait.
TEST_F(HostResolver, FailedLookupsKeepTheAddressText)
{
    std::uint32_t address = inet_addr("127.0.0.2"); // not in /etc/hosts
    std::set<int> before = Resolvers();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HostText(address), AddressText(address));
    std::set<int> started = Resolvers(before);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_EQ(Resolvers(before), started);

    std::string task = "/proc/self/task/" + std::to_string(*started.begin());
    ASSERT_TRUE(WaitFor([&] { return access(task.c_str(), F_OK) != 0; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6000ms);
    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_TRUE(Resolvers(before).empty());
    EXPECT_EQ(oProp.changed.load(), 0);
}

// Names are kept whole; the host text shows what fits of them.
TEST(HostCache, KeepsOnlyPlausibleNames)
{
    const std::string longest(kHostTextSize - 1, 'x');
    // clang-format off
    const std::pair<std::string, bool> names[] = {
        {"Host-1.example_x.ORG", true}, {longest.substr(1), true}, {longest, true}, {longest + "yz", true},
        {"", false}, {"two words", false}, {"line\nbreak", false}, {"tab\t", false}, {"<b>", false},
        {"caf\xc3\xa9.test", false}, {"a%sb", false}, {"a|b", false}};
    // clang-format on
    const std::uint32_t address = inet_addr("10.7.7.7");
    for (const auto& [text, kept] : names) {
        SCOPED_TRACE(text);
        ASSERT_NE(hostCache.SetName(address, text.c_str()), 0);
        const char* name = "sentinel";
        ASSERT_NE(hostCache.GetName(address, &name), 0);
        EXPECT_STREQ(name, kept ? text.c_str() : nullptr);
        EXPECT_EQ(HostText(address), kept ? text.substr(0, longest.size()) : AddressText(address));
    }
}

// Formatters meet at each new address: one entry and one lookup per address;
// names replaced meanwhile are never read torn.
TEST(HostCacheThreads, OneLookupPerAddress)
{
    constexpr int kThreads = 4;
    constexpr std::uint32_t kAddresses = 200;
    std::set<int> before = Resolvers();
    std::atomic<int> arrived{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "n" + std::to_string(t) + ".test";
            for (std::uint32_t i = 0; i < kAddresses; ++i) {
                // All formatters reach each new address together.
                for (++arrived; arrived.load() < static_cast<int>(i + 1) * kThreads;)
                    std::this_thread::yield();
                std::uint32_t address = htonl(0x0A4D0000u + i);
                if (HostText(address) != AddressText(address))
                    ++wrong;
                hostCache.SetName(htonl(0x0A4E0000u + i % 8), own.c_str());
                std::string read = HostText(htonl(0x0A4E0000u + i % 8));
                if (read.size() != 7 || read.compare(2, 5, ".test") != 0)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    // Failed resolvers wait at least 6 s, so all of them are still here.
    EXPECT_EQ(Resolvers(before).size(), static_cast<std::size_t>(kAddresses));
}

// Resolvers still waiting and threads still storing names while the process
// exits: nothing they touch may be gone, and the cache is no leak.
TEST(HostCacheExit, ExitWhileResolversWait)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // A long list keeps the storing threads walking it during the exit.
            for (std::uint32_t i = 0; i < 2000; ++i)
                hostCache.SetName(htonl(0x0A640000u + i), "named.test");
            for (int t = 0; t < 3; ++t) {
                std::thread([t] {
                    for (std::uint32_t i = 0;; ++i) {
                        hostCache.SetName(htonl(0x0A640000u + 1999 - i % 8),
                                          t ? "x.test" : "y.test");
                        HostText(htonl(0x0A630000u + i % 16 + 1));
                    }
                }).detach();
            }
            std::this_thread::sleep_for(50ms);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
