// The settings object against the real hive file in a private $XDG_CONFIG_HOME.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "settings/prop.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n";

// The options in one line: the four flags, the period and the log file name.
std::string Options(const CProp& prop)
{
    std::uint32_t ms = 0;
    prop.GetRefreshTime(&ms);
    char name[kLogFileNameSize];
    prop.GetLogFileName(name);
    return std::to_string(prop.GetLogEnabled()) + "," + std::to_string(prop.GetScanTcp()) + "," +
           std::to_string(prop.GetScanUdp()) + "," + std::to_string(prop.GetShowHost()) + " " +
           std::to_string(ms) + " " + name;
}

class PropHive : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        fs::create_directories(root / "quillon");
    }

    std::string HiveText()
    {
        std::ostringstream text;
        text << std::ifstream(root / "quillon" / "user.reg").rdbuf();
        return text.str();
    }

    TempDir dir;
    fs::path root = dir.path;
    CProp prop;
};

TEST_F(PropHive, WithoutTheKeyDefaultsApplyAndSaveCreatesIt)
{
    prop.SetScanUdp(0);
    EXPECT_EQ(prop.Load(), 0);
    EXPECT_EQ(Options(prop), "1,1,1,1 1000 quillon.log");
    EXPECT_EQ(prop.Save(), 1);
    EXPECT_EQ(HiveText(), kHeader + "\"BoolProp1\"=dword:0000000f\n"
                                    "\"RefreshTime\"=dword:000003e8\n"
                                    "\"LogName\"=\"quillon.log\"\n\n");

    // Any non-zero flag is saved as its own bit alone.
    prop.SetLogEnabled(0);
    prop.SetScanTcp(-1);
    prop.SetScanUdp(5);
    prop.SetShowHost(0);
    EXPECT_EQ(prop.Save(), 1);
    EXPECT_NE(HiveText().find("\"BoolProp1\"=dword:00000006\n"), std::string::npos);
}

TEST_F(PropHive, LoadTakesEachGoodValueAndReportsTheBadOnes)
{
    const std::string flags = "dword:0000000f", period = "dword:000003e8", name = "\"x.log\"";
    std::string unterminated = "hex(1):";
    for (int i = 0; i < 259; ++i)
        unterminated += "75,";
    unterminated += "76";
    const struct {
        std::string bits, period, name;
        int loaded;
        std::string options;
    } cases[] = {
        {"dword:00000000", period, name, 1, "0,0,0,0 1000 x.log"},
        {"dword:0000000a", period, name, 1, "0,2,0,8 1000 x.log"},
        {"dword:fffffff5", period, name, 1, "1,0,4,0 1000 x.log"},
        {flags, "dword:00000032", name, 1, "1,2,4,8 100 x.log"},
        {flags, "dword:0000060e", name, 1, "1,2,4,8 1500 x.log"},
        {flags, "dword:000186a0", name, 1, "1,2,4,8 10000 x.log"},
        {"dword:00000002", "\"500\"", name, 0, "0,2,0,0 1000 x.log"},
        {flags, "hex(4):f4,01", name, 0, "1,2,4,8 1000 x.log"},
        {flags, period, "\"\"", 1, "1,2,4,8 1000 quillon.log"},
        {flags, period, "hex(2):25,48,4f,4d,45,25,00", 0, "1,2,4,8 1000 quillon.log"},
        {flags, period, unterminated, 1, "1,2,4,8 1000 " + std::string(259, 'u')},
    };
    for (const auto& c : cases) {
        std::ofstream(root / "quillon" / "user.reg")
            << kHeader << "\"BoolProp1\"=" << c.bits << "\n\"RefreshTime\"=" << c.period
            << "\n\"LogName\"=" << c.name << "\n";
        EXPECT_EQ(prop.Load(), c.loaded)
            << c.bits << " " << c.period << " " << c.name.substr(0, 12);
        EXPECT_EQ(Options(prop), c.options);
    }
}

TEST(Prop, RefreshTimeIsCutToWholeStepsAndClamped)
{
    CProp prop;
    const std::pair<std::uint32_t, std::uint32_t> periods[] = {
        {0, 100},       {99, 100},      {150, 100},      {199, 100},         {1099, 1000},
        {10099, 10000}, {10100, 10000}, {100000, 10000}, {0xFFFFFFFF, 10000}};
    for (auto [in, out] : periods) {
        prop.SetRefreshTime(in);
        std::uint32_t ms = 0;
        prop.GetRefreshTime(&ms);
        EXPECT_EQ(ms, out) << in;
    }
}

} // namespace
