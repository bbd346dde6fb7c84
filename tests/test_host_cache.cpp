#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <functional>
#include <set>

#include "monitor/host_cache.h"
#include "monitor/row_text.h"
#include "platform/name_lookup.h"
#include "settings/prop.h"
#include "test_support.h"

#if defined(__SANITIZE_THREAD__)
// glibc guards its resolver state with locks ThreadSanitizer can't see.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:__libc_dynarray_emplace_enlarge\n";
}
#endif

std::string AddressText(std::uint32_t address, bool host = false)
{
    char text[kHostTextSize];
    host ? FormatHostAddress(address, text) : FormatAddressText(address, text, sizeof text);
    return text;
}

std::string HostText(std::uint32_t address)
{
    return AddressText(address, true);
}

// Resolver threads, by id, started since `before`; the name tells them apart
// from the sanitizers' own threads.
std::set<int> Resolvers(const std::set<int>& before = {})
{
    std::set<int> ids;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::string name;
        const int id = std::stoi(task.path().filename());
        if (std::getline(std::ifstream(task.path() / "comm"), name) &&
            name == kResolverThreadName && !before.count(id))
            ids.insert(id);
    }
    return ids;
}

// The limit only keeps a broken build from hanging.
bool WaitFor(const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    return done();
}

// Private network and mount namespaces: no query leaves the machine, and
// /etc/hosts names the test addresses. Empty on success, else why not.
std::string EnterPrivateHosts()
{
    TempDir dir;
    const std::string hosts = dir / "hosts";
    std::ofstream(hosts) << "127.0.0.11 alpha.quillon.test alpha\n127.0.0.12 esc\x1b[31mape.test\n"
                         << "127.0.0.14 " << std::string(300, 'a') << "\n";
    if (std::string why = EnterPrivateNetwork(CLONE_NEWNS); !why.empty())
        return why;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        return std::string("mounting the hosts file: ") + std::strerror(errno);
    WSAStartup(kWinsockVersion, nullptr);
    return "";
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
        static const std::string failure = EnterPrivateHosts();
        if (!failure.empty())
            GTEST_SKIP() << "no private network namespace: " << failure;
        oProp.changed = 0;
    }
};

// Every answer marks the list for refilling, a refused name too.
TEST_F(HostResolver, NamesArriveLaterAndOnlyPlausibleOnesAreShown)
{
    const std::pair<const char*, std::string> answers[] = {{"127.0.0.11", "alpha.quillon.test"},
                                                           {"127.0.0.12", ""},
                                                           {"127.0.0.14", std::string(255, 'a')}};
    for (const auto& [dotted, shown] : answers) {
        SCOPED_TRACE(dotted);
        const std::uint32_t address = inet_addr(dotted);
        oProp.changed = 0;
        EXPECT_EQ(HostText(address), AddressText(address));
        ASSERT_TRUE(WaitFor([] { return oProp.changed.load() == 1; }));
        EXPECT_EQ(HostText(address), shown.empty() ? AddressText(address) : shown);
    }
}

TEST_F(HostResolver, OwnAddressesGiveTheComputerNameWithoutALookup)
{
    char computer[256] = {};
    gethostname(computer, sizeof computer - 1);
    const std::set<int> before = Resolvers();
    EXPECT_EQ(HostText(0), computer);
    EXPECT_EQ(HostText(inet_addr("127.0.0.1")), computer);
    EXPECT_TRUE(Resolvers(before).empty());
    EXPECT_EQ(hostCache.GetName(0, nullptr), 0);
    EXPECT_EQ(hostCache.GetName(inet_addr("127.0.0.1"), nullptr), 0);
}

// The slow path, once: two failed attempts, each followed by its wait.
TEST_F(HostResolver, FailedLookupsKeepTheAddressText)
{
    const std::uint32_t address = inet_addr("127.0.0.2"); // not in /etc/hosts
    const std::set<int> before = Resolvers();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(HostText(address), AddressText(address));
    const std::set<int> started = Resolvers(before);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_EQ(Resolvers(before), started);

    ASSERT_TRUE(WaitFor([&] { return Resolvers(before).empty(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6000ms);
    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_EQ(oProp.changed.load(), 0);
}

// Names are kept whole; the host text shows what fits of them.
TEST(HostCache, KeepsOnlyPlausibleNames)
{
    const std::string longest(kHostTextSize - 1, 'x');
    const std::pair<std::string, bool> names[] = {{"Host-1.example_x.ORG", true},
                                                  {longest, true},
                                                  {longest + "yz", true},
                                                  {"", false},
                                                  {"two words", false},
                                                  {"line\nbreak", false},
                                                  {"<b>", false},
                                                  {"caf\xc3\xa9.test", false},
                                                  {"a%sb", false},
                                                  {"a|b", false}};
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
    const std::set<int> before = Resolvers();
    std::atomic<int> arrived{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "n" + std::to_string(t) + ".test";
            for (std::uint32_t i = 0; i < kAddresses; ++i) {
                // All formatters reach each new address together.
                for (++arrived; arrived.load() < static_cast<int>(i + 1) * kThreads;)
                    std::this_thread::yield();
                const std::uint32_t address = htonl(0x0A4D0000u + i);
                wrong += HostText(address) != AddressText(address);
                hostCache.SetName(htonl(0x0A4E0000u + i % 8), own.c_str());
                const std::string read = HostText(htonl(0x0A4E0000u + i % 8));
                wrong += read.size() != 7 || read.compare(2, 5, ".test") != 0;
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
