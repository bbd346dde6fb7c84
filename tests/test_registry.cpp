// The registry calls over the real hive file in a private $XDG_CONFIG_HOME.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/hive_file.h"
#include "platform/registry.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kKeyPath = "HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon";
constexpr const char* kSubKey = "Software\\Brantwell\\Quillon";
const std::string kHeader = "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n";

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

LONG SetDword(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

LONG SetString(HKEY key, const char* name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        hive = root / "config" / "quillon" / "user.reg";
    }

    LONG Create(HKEY* key)
    {
        *key = nullptr;
        return RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               key, nullptr);
    }

    // The bytes of a value in the hive as written, empty when it is missing;
    // `unparsed` counts the lines that did not parse.
    std::string Saved(const char* name)
    {
        HIVE parsed;
        unparsed = ParseHive(ReadText(hive), &parsed);
        const HIVE_KEY* key = FindHiveKey(parsed, kKeyPath);
        const HIVE_VALUE* value = key ? FindHiveValue(*key, name) : nullptr;
        return value ? std::string(value->data.begin(), value->data.end()) : std::string();
    }

    TempDir dir;
    fs::path root = dir.path;
    fs::path hive;
    std::size_t unparsed = 0;
};

TEST_F(RegistryFile, CreateOpenQueryAndSet)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSubKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(hive)) << "a failed open writes nothing";

    ASSERT_EQ(Create(&key), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "BoolProp1", 15), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "RefreshTime", 1000), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, "LogName", "quillon.log"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(ReadText(hive), kHeader + "\"BoolProp1\"=dword:0000000f\n"
                                        "\"RefreshTime\"=dword:000003e8\n"
                                        "\"LogName\"=\"quillon.log\"\n\n");

    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\brantwell\\quillon", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 4;
    char buffer[16];
    BYTE* out = reinterpret_cast<BYTE*>(buffer);
    EXPECT_EQ(RegQueryValueExA(key, "logname", nullptr, &type, out, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u) << "the size needed is reported";
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "LogName", nullptr, &type, out, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(buffer, "quillon.log");
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetDword(key, "BoolProp1", 1), ERROR_ACCESS_DENIED) << "opened for reading only";
    RegCloseKey(key);
}

TEST_F(RegistryFile, UnwritableHiveIsRefused)
{
    HKEY key = nullptr;
    fs::create_directories(hive.parent_path().parent_path());
    std::ofstream(hive.parent_path()) << "a file where the folder belongs";
    EXPECT_EQ(Create(&key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);

    // A fifo in the file's place is refused at once, not read or replaced.
    fs::remove(hive.parent_path());
    fs::create_directories(hive.parent_path());
    ASSERT_EQ(mkfifo(hive.c_str(), 0600), 0);
    EXPECT_EQ(Create(&key), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_fifo(hive));
}

// Damaged files: the good values read, the bad lines never read as values, and
// the first save keeps the damaged file whole as user.reg.bak.
TEST_F(RegistryFile, DamagedHiveReadsWhatItCanAndKeepsABackup)
{
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 7919) % 251));
    std::string big = kHeader + "\"First\"=dword:00000001\n\"Filler\"=hex:";
    while (big.size() < kHiveReadLimit - 300)
        big += "00,";
    // This line straddles the read limit; its head alone would read as a shorter dword.
    const std::string straddle = "Straddle" + std::string(280, 's');
    big += "00\n\"" + straddle + "\"=dword:00000077\n" + std::string(4096, 'x');

    const struct {
        std::string text;
        std::string missing;
    } cases[] = {
        {kHeader + "\"First\"=dword:00000001\na hand edit that went wrong\n", "Other"},
        {kHeader + "\"First\"=dword:00000001\n\"TooLong\"=dword:000000001\n", "TooLong"},
        {kHeader + "\"First\"=dword:00000001\n\"Open\"=\"no closing quote\n", "Open"},
        {kHeader + "\"First\"=dword:00000001\n" + junk, "Other"},
        {big, straddle},
    };
    fs::create_directories(hive.parent_path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing.substr(0, 10));
        std::ofstream(hive, std::ios::binary | std::ios::trunc) << c.text;
        HKEY key = nullptr;
        ASSERT_EQ(Create(&key), ERROR_SUCCESS);
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key, "First", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(key, c.missing.c_str(), nullptr, nullptr, nullptr, &size),
                  ERROR_FILE_NOT_FOUND);

        EXPECT_EQ(SetDword(key, "BoolProp1", 3), ERROR_SUCCESS);
        EXPECT_TRUE(ReadText(hive.string() + ".bak") == c.text) << "the damaged file is kept whole";
        EXPECT_EQ(Saved("First"), std::string("\1\0\0\0", 4));
        EXPECT_EQ(unparsed, 0u);
        RegCloseKey(key);
    }
}

// A writer killed at any point leaves a whole file holding only values it wrote.
TEST_F(RegistryFile, KilledWriterNeverLeavesAHalfFile)
{
    const std::string longName(200, 'a');
    for (int round = 0; round < 40; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            HKEY key = nullptr;
            Create(&key);
            for (unsigned i = 0;; ++i) {
                SetDword(key, "RefreshTime", (i % 2 + 1) * 100);
                SetString(key, "LogName", i % 2 ? longName : "b.log");
            }
        }
        usleep(static_cast<useconds_t>(1000 + round % 10 * 2500));
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        if (!fs::exists(hive))
            continue; // killed before the first write

        SCOPED_TRACE(round);
        const std::string period = Saved("RefreshTime"), name = Saved("LogName");
        EXPECT_EQ(unparsed, 0u);
        EXPECT_TRUE(period.empty() || period == std::string("\x64\0\0\0", 4) ||
                    period == std::string("\xc8\0\0\0", 4));
        EXPECT_TRUE(name.empty() || name == longName + '\0' || name == std::string("b.log", 6));
    }
    HKEY key = nullptr;
    ASSERT_EQ(Create(&key), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "BoolProp1", 1), ERROR_SUCCESS) << "the lock died with the writer";
    RegCloseKey(key);
}

} // namespace
