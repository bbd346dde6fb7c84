// The settings object against the real hive file in a private $XDG_CONFIG_HOME.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry.h"
#include "settings/prop.h"

namespace {

namespace fs = std::filesystem;

struct Flags {
    std::int32_t log, tcp, udp, host;
};

class PropHive : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillon-prop-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        const char* old = std::getenv("XDG_CONFIG_HOME");
        hadConfig = old != nullptr;
        if (hadConfig)
            savedConfig = old;
        setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        hive = root / "quillon" / "user.reg";
    }
    void TearDown() override
    {
        if (hadConfig)
            setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root);
    }

    // Writes the key with the given value lines, as a user's hand edit would.
    void WriteHive(const std::string& values)
    {
        fs::create_directories(hive.parent_path());
        std::ofstream(hive) << "Windows Registry Editor Version 5.00\n\n"
                               "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                            << values;
    }

    void SetRaw(const char* name, DWORD type, const std::string& data)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kPropKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::string HiveText()
    {
        std::ifstream in(hive);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static Flags FlagsOf(const CProp& prop)
    {
        return {prop.GetLogEnabled(), prop.GetScanTcp(), prop.GetScanUdp(), prop.GetShowHost()};
    }

    static std::uint32_t PeriodOf(const CProp& prop)
    {
        std::uint32_t ms = 0;
        prop.GetRefreshTime(&ms);
        return ms;
    }

    static std::string NameOf(const CProp& prop)
    {
        char name[kLogFileNameSize];
        prop.GetLogFileName(name);
        return name;
    }

    static void ExpectDefaults(const CProp& prop)
    {
        Flags flags = FlagsOf(prop);
        EXPECT_TRUE(flags.log && flags.tcp && flags.udp && flags.host);
        EXPECT_EQ(PeriodOf(prop), 1000u);
        EXPECT_EQ(NameOf(prop), "quillon.log");
    }

    fs::path root;
    fs::path hive;
    std::string savedConfig;
    bool hadConfig = false;
    CProp prop;
};

TEST_F(PropHive, FirstRunLoadFailsAndSaveCreatesTheDefaults)
{
    prop.SetScanUdp(0);
    EXPECT_EQ(prop.Load(), 0);
    ExpectDefaults(prop);
    EXPECT_EQ(prop.Save(), 1);
    EXPECT_EQ(HiveText(), "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                          "\"BoolProp1\"=dword:0000000f\n"
                          "\"RefreshTime\"=dword:000003e8\n"
                          "\"LogName\"=\"quillon.log\"\n\n");
    CProp again;
    EXPECT_EQ(again.Load(), 1);
    ExpectDefaults(again);
}

TEST_F(PropHive, FlagsLoadAsTheirMaskedBits)
{
    const struct {
        const char* stored;
        Flags expected;
    } cases[] = {
        {"00000000", {0, 0, 0, 0}},
        {"0000000a", {0, 2, 0, 8}},
        {"fffffff5", {1, 0, 4, 0}},
    };
    for (const auto& c : cases) {
        WriteHive(std::string("\"BoolProp1\"=dword:") + c.stored +
                  "\n\"RefreshTime\"=dword:000003e8\n\"LogName\"=\"x.log\"\n");
        EXPECT_EQ(prop.Load(), 1) << c.stored;
        Flags flags = FlagsOf(prop);
        EXPECT_EQ(flags.log, c.expected.log) << c.stored;
        EXPECT_EQ(flags.tcp, c.expected.tcp) << c.stored;
        EXPECT_EQ(flags.udp, c.expected.udp) << c.stored;
        EXPECT_EQ(flags.host, c.expected.host) << c.stored;
    }
}

TEST_F(PropHive, StoredPeriodIsClampedAndAWrongTypeFallsBack)
{
    for (auto [stored, expected] : {std::pair{"00000032", 100u}, std::pair{"0000060e", 1500u},
                                    std::pair{"000186a0", 10000u}}) {
        WriteHive(std::string("\"BoolProp1\"=dword:0000000f\n\"RefreshTime\"=dword:") + stored +
                  "\n\"LogName\"=\"x.log\"\n");
        EXPECT_EQ(prop.Load(), 1);
        EXPECT_EQ(PeriodOf(prop), expected) << stored;
    }

    WriteHive("\"BoolProp1\"=dword:00000002\n\"RefreshTime\"=\"500\"\n\"LogName\"=\"y.log\"\n");
    EXPECT_EQ(prop.Load(), 0);
    EXPECT_EQ(PeriodOf(prop), 1000u);
    EXPECT_EQ(FlagsOf(prop).tcp, 2) << "the other values are still applied";
    EXPECT_EQ(FlagsOf(prop).log, 0);
    EXPECT_EQ(NameOf(prop), "y.log");

    // A dword of the wrong size is not a period.
    WriteHive("\"BoolProp1\"=dword:0000000f\n\"RefreshTime\"=hex(4):f4,01\n\"LogName\"=\"y\"\n");
    EXPECT_EQ(prop.Load(), 0);
    EXPECT_EQ(PeriodOf(prop), 1000u);
}

TEST_F(PropHive, LogNameEdgeCases)
{
    const std::string good = "\"BoolProp1\"=dword:0000000f\n\"RefreshTime\"=dword:000003e8\n";

    WriteHive(good + "\"LogName\"=\"\"\n");
    EXPECT_EQ(prop.Load(), 1) << "an empty name counts as read";
    EXPECT_EQ(NameOf(prop), "quillon.log");

    WriteHive(good + "\"LogName\"=hex(2):25,48,4f,4d,45,25,00\n");
    EXPECT_EQ(prop.Load(), 0);
    EXPECT_EQ(NameOf(prop), "quillon.log");

    WriteHive(good + "\"LogName\"=\"" + std::string(260, 'n') + "\"\n");
    EXPECT_EQ(prop.Load(), 0) << "260 characters do not fit";
    EXPECT_EQ(NameOf(prop), "quillon.log");

    WriteHive(good + "\"LogName\"=\"" + std::string(259, 'm') + "\"\n");
    EXPECT_EQ(prop.Load(), 1);
    EXPECT_EQ(NameOf(prop), std::string(259, 'm'));

    // 260 bytes without a terminator fill the read buffer exactly.
    WriteHive(good);
    SetRaw("LogName", REG_SZ, std::string(259, 'u') + "v");
    EXPECT_EQ(prop.Load(), 1);
    EXPECT_EQ(NameOf(prop), std::string(259, 'u'));

    SetRaw("LogName", REG_SZ, "short");
    EXPECT_EQ(prop.Load(), 1);
    EXPECT_EQ(NameOf(prop), "short");
}

TEST_F(PropHive, SaveWritesBitsAndReadsBack)
{
    prop.SetLogEnabled(0);
    prop.SetScanTcp(-1);
    prop.SetScanUdp(5);
    prop.SetShowHost(0);
    prop.SetRefreshTime(2345);
    ASSERT_EQ(prop.SetLogFileName("/var/tmp/a \"quoted\" \\ name.log"), 1);
    EXPECT_EQ(prop.Save(), 1);
    EXPECT_NE(HiveText().find("\"BoolProp1\"=dword:00000006\n"), std::string::npos);

    CProp loaded;
    loaded.SetScanTcp(0);
    EXPECT_EQ(loaded.Load(), 1);
    Flags flags = FlagsOf(loaded);
    EXPECT_EQ(flags.log, 0);
    EXPECT_EQ(flags.tcp, 2);
    EXPECT_EQ(flags.udp, 4);
    EXPECT_EQ(flags.host, 0);
    EXPECT_EQ(PeriodOf(loaded), 2300u);
    EXPECT_EQ(NameOf(loaded), "/var/tmp/a \"quoted\" \\ name.log");
}

TEST_F(PropHive, SaveRewritesAPartialKeyAndReportsAnUnwritableHive)
{
    WriteHive("\"RefreshTime\"=dword:00000bb8\n");
    EXPECT_EQ(prop.Load(), 0);
    EXPECT_EQ(PeriodOf(prop), 3000u);
    EXPECT_EQ(prop.Save(), 1);
    CProp loaded;
    EXPECT_EQ(loaded.Load(), 1);
    EXPECT_EQ(PeriodOf(loaded), 3000u);

    fs::remove_all(root / "quillon");
    std::ofstream(root / "quillon") << "a file where the folder belongs";
    EXPECT_EQ(prop.Save(), 0);
}

TEST(Prop, SettersAndGetters)
{
    CProp prop;
    EXPECT_EQ(prop.SetLogFileName(""), 0);
    EXPECT_EQ(prop.SetLogFileName(nullptr), 0);
    EXPECT_EQ(prop.SetLogFileName(std::string(260, 'x').c_str()), 0);
    char name[kLogFileNameSize];
    ASSERT_EQ(prop.GetLogFileName(name), 1);
    EXPECT_STREQ(name, "quillon.log");
    EXPECT_EQ(prop.GetLogFileName(nullptr), 0);

    const std::pair<std::uint32_t, std::uint32_t> periods[] = {
        {0, 100},       {99, 100},      {150, 100},      {199, 100},         {1099, 1000},
        {10099, 10000}, {10100, 10000}, {100000, 10000}, {0xFFFFFFFF, 10000}};
    for (auto [in, out] : periods) {
        EXPECT_EQ(prop.SetRefreshTime(in), 1);
        std::uint32_t ms = 0;
        prop.GetRefreshTime(&ms);
        EXPECT_EQ(ms, out) << in;
    }
}

} // namespace
