// The host cache and the host text under several formatters. Lookups answer
// only in the first case, inside private namespaces; elsewhere the socket
// library is not started and every lookup fails without leaving the machine.
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>

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

std::string HostText6(const char* numeric, std::uint32_t scope = 0)
{
    std::uint8_t address[16];
    inet_pton(AF_INET6, numeric, address);
    char text[kHostTextSize];
    FormatHostAddress6(address, scope, text);
    return text;
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

// The names are in /etc/hosts only once the first lookups have failed: they
// come from the second. A link-local address is one entry per scope. First
// in the file: namespaces want a process of one thread.
TEST(HostResolver, SecondAttemptAnswersAfterAFailedFirst)
{
    TempDir dir;
    const std::string hosts = dir / "hosts";
    std::ofstream(hosts) << "127.0.0.1 localhost\n";
    if (const std::string why = EnterPrivateNetwork(CLONE_NEWNS); !why.empty())
        GTEST_SKIP() << "no private network namespace: " << why;
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    WSAStartup(kWinsockVersion, nullptr);
    oProp.changed = 0;
    const std::uint32_t address = inet_addr("127.0.0.21");
    EXPECT_EQ(HostText(address), AddressText(address));
    EXPECT_EQ(HostText6("fe80::21", 1), "[fe80::21%lo]");
    EXPECT_EQ(HostText6("fe80::21", 7), "[fe80::21%7]");
    EXPECT_EQ(HostText6("fe80::21", 1), "[fe80::21%lo]");
    const std::set<int> resolvers = Resolvers();
    ASSERT_EQ(resolvers.size(), 3u);
    // A resolver's first sleep is the wait after its failed attempt.
    const auto sleeping = [](int resolver) {
        int number = -1;
        std::ifstream("/proc/self/task/" + std::to_string(resolver) + "/syscall") >> number;
        return number == SYS_clock_nanosleep || number == SYS_nanosleep;
    };
    for (int resolver : resolvers) {
        for (int tries = 0; tries < 1000 && !sleeping(resolver); ++tries)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(sleeping(resolver));
    }
    std::ofstream(hosts, std::ios::app) << "127.0.0.21 second.quillon.test\n"
                                        << "fe80::21 six.quillon.test\n";
    const auto named = [&] {
        return HostText(address) == "second.quillon.test" &&
               HostText6("fe80::21", 1) == "six.quillon.test" &&
               HostText6("fe80::21", 7) == "six.quillon.test";
    };
    for (int tries = 0; tries < 1000 && !named(); ++tries)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(named());
    EXPECT_EQ(oProp.changed.load(), 1);
}

// Names are kept whole; the host text shows what fits of them.
TEST(HostCache, KeepsOnlyPlausibleNames)
{
    const std::string longest(kHostTextSize - 1, 'x');
    // The first two are kept, the others refused.
    const std::string names[] = {"Host-1.example_x.ORG", longest + "yz", "",   "line\nbreak", "<b>",
                                 "caf\xc3\xa9.test",     "a%sb",         "a|b"};
    const std::uint32_t address = inet_addr("10.7.7.7");
    for (const std::string& text : names) {
        SCOPED_TRACE(text);
        const bool kept = &text < names + 2;
        ASSERT_NE(hostCache.SetName(address, text.c_str()), 0);
        const char* name = "sentinel";
        ASSERT_NE(hostCache.GetName(address, &name), 0);
        EXPECT_STREQ(name, kept ? text.c_str() : nullptr);
        EXPECT_EQ(HostText(address), kept ? text.substr(0, longest.size()) : AddressText(address));
        ASSERT_NE(host6Cache.SetName({{0x20, 0x01, 0x0d, 0xb8, 7}, 0}, text.c_str()), 0);
        EXPECT_EQ(HostText6("2001:db8:700::"),
                  kept ? text.substr(0, longest.size()) : "[2001:db8:700::]");
    }
}

// Formatters meet at each new address: one entry and one lookup per address;
// names replaced meanwhile are never read torn.
TEST(HostCacheThreads, OneLookupPerAddress)
{
    constexpr int kThreads = 4;
    constexpr std::uint32_t kAddresses = 200;
    const std::set<int> before = Resolvers();
    std::atomic<int> arrived{0}, wrong{0}, entered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "n" + std::to_string(t) + ".test";
            for (std::uint32_t i = 0; i < kAddresses; ++i) {
                // All formatters reach each new address together.
                for (++arrived; arrived.load() < static_cast<int>(i + 1) * kThreads;)
                    std::this_thread::yield();
                entered += hostCache.AddAddress(htonl(0x0A4F0000u + i));
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
    EXPECT_EQ(entered.load(), static_cast<int>(kAddresses));
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
