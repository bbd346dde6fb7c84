// The hive text and the registry operations over the real hive file in a
// private $XDG_CONFIG_HOME.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/hive_file.h"
#include "platform/registry.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kKeyPath = "HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon";
constexpr const char* kSubKey = "Software\\Brantwell\\Quillon";

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& file, const std::string& text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string StringOf(const HIVE_VALUE& value)
{
    return std::string(value.data.begin(), value.data.end());
}

const HIVE_VALUE* ValueAt(const HIVE& hive, const char* path, const char* name)
{
    const HIVE_KEY* key = FindHiveKey(hive, path);
    return key ? FindHiveValue(*key, name) : nullptr;
}

TEST(HiveText, ReadsEveryForm)
{
    const std::string text = "\xEF\xBB\xBF"
                             "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\r\n"
                             "\"BoolProp1\"=dword:0000000F\r\n"
                             "\"LogName\"=\"C:\\\\logs\\\\\\\"q\\\".log\"\r\n"
                             "\"Expand\"=hex(2):25,00,41,00,00,00\r\n"
                             "@=\"default\"\r\n"
                             "\"Blob\"=hex:01,02,\\\r\n  03,04\r\n"
                             "[hkey_current_user\\software\\brantwell\\QUILLON]\r\n"
                             "\"boolprop1\"=dword:a\r\n";
    HIVE hive;
    EXPECT_EQ(ParseHive(text, &hive), 0u);
    ASSERT_EQ(hive.keys.size(), 1u) << "sections of one key in another case merge";
    ASSERT_EQ(hive.keys[0].values.size(), 5u);
    const HIVE_VALUE* flags = ValueAt(hive, kKeyPath, "BOOLPROP1");
    ASSERT_NE(flags, nullptr);
    EXPECT_EQ(flags->type, 4u);
    EXPECT_EQ(flags->data, (std::vector<BYTE>{10, 0, 0, 0})) << "the later value wins";
    EXPECT_EQ(StringOf(*ValueAt(hive, kKeyPath, "LogName")),
              std::string("C:\\logs\\\"q\".log\0", 16));
    EXPECT_EQ(ValueAt(hive, kKeyPath, "Expand")->type, 2u);
    EXPECT_EQ(StringOf(*ValueAt(hive, kKeyPath, "")), std::string("default\0", 8));
    EXPECT_EQ(ValueAt(hive, kKeyPath, "Blob")->data, (std::vector<BYTE>{1, 2, 3, 4}));
}

TEST(HiveText, DamagedLinesAreSkippedAndCounted)
{
    const std::string text = "garbage\n"
                             "\"Orphan\"=dword:1\n"
                             "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                             "\"Good1\"=dword:1\n"
                             "\"TooLong\"=dword:000000001\n"
                             "\"Open\"=\"no closing quote\n"
                             "\"BadEscape\"=\"a\\nb\"\n"
                             "\"Deleted\"=-\n"
                             "\"Good2\"=\"x\"\n"
                             "[HKEY_CURRENT_USER\\\\Empty]\n"
                             "\"UnderBadSection\"=dword:2\n"
                             "[-HKEY_CURRENT_USER\\Software]\n"
                             "; comment\n"
                             "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                             "\"Cut\"=hex:01,\\\n"
                             "  02,\\\n";
    HIVE hive;
    EXPECT_EQ(ParseHive(text, &hive), 12u);
    ASSERT_EQ(hive.keys.size(), 1u);
    ASSERT_EQ(hive.keys[0].values.size(), 2u);
    EXPECT_NE(ValueAt(hive, kKeyPath, "Good1"), nullptr);
    EXPECT_NE(ValueAt(hive, kKeyPath, "Good2"), nullptr);

    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 7919) % 251));
    ParseHive(junk, &hive);
}

TEST(HiveText, WritesWhatReadsBackExactly)
{
    HIVE hive;
    HIVE_KEY& key = AddHiveKey(hive, kKeyPath);
    const std::vector<std::pair<DWORD, std::string>> awkward = {
        {1, std::string("say \"\\hi\\\"\0", 11)}, // quotes and backslashes
        {1, std::string("no terminator")},
        {1, std::string("two\nlines\0", 10)},
        {1, std::string("inner\0nul\0", 10)},
        {1, std::string()},
        {4, std::string("\1\2", 2)}, // a dword of the wrong size
        {3, std::string("\0\xff", 2)},
        {0x12345678, std::string("x")},
    };
    for (std::size_t i = 0; i < awkward.size(); ++i) {
        std::string name = "v\"\\" + std::to_string(i);
        const std::string& data = awkward[i].second;
        SetHiveValue(key, name, awkward[i].first, reinterpret_cast<const BYTE*>(data.data()),
                     data.size());
    }
    SetHiveValue(key, "", 4, reinterpret_cast<const BYTE*>("\x0f\0\0\0"), 4);

    std::string text = SerializeHive(hive);
    HIVE back;
    ASSERT_EQ(ParseHive(text, &back), 0u) << text;
    ASSERT_EQ(back.keys.size(), 1u);
    ASSERT_EQ(back.keys[0].values.size(), key.values.size());
    for (std::size_t i = 0; i < key.values.size(); ++i) {
        EXPECT_EQ(back.keys[0].values[i].name, key.values[i].name);
        EXPECT_EQ(back.keys[0].values[i].type, key.values[i].type) << i;
        EXPECT_EQ(back.keys[0].values[i].data, key.values[i].data) << i;
    }
}

class RegistryFile : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillon-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        const char* old = std::getenv("XDG_CONFIG_HOME");
        if (old != nullptr)
            savedConfig = old;
        hadConfig = old != nullptr;
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        hive = root / "config" / "quillon" / "user.reg";
    }
    void TearDown() override
    {
        if (hadConfig)
            setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root);
    }

    HKEY Create()
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }

    static LONG SetDword(HKEY key, const char* name, DWORD value)
    {
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
    }

    static LONG SetString(HKEY key, const char* name, const std::string& text)
    {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    }

    HIVE ParseFile(std::size_t* unparsed = nullptr)
    {
        HIVE parsed;
        std::size_t bad = ParseHive(ReadText(hive), &parsed);
        if (unparsed != nullptr)
            *unparsed = bad;
        return parsed;
    }

    fs::path root;
    fs::path hive;
    std::string savedConfig;
    bool hadConfig = false;
};

TEST_F(RegistryFile, HivePathFollowsTheEnvironment)
{
    EXPECT_EQ(GetHiveFilePath(), hive.string());
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    std::string saveHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", root.c_str(), 1);
    EXPECT_EQ(GetHiveFilePath(), (root / ".config/quillon/user.reg").string());
    setenv("HOME", saveHome.c_str(), 1);
}

TEST_F(RegistryFile, CreateWritesTheKeyAndValuesReadBack)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSubKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(hive)) << "a failed open writes nothing";

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(SetDword(key, "BoolProp1", 15), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, "RefreshTime", 1000), ERROR_SUCCESS);
    EXPECT_EQ(SetString(key, "LogName", "quillon.log"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ReadText(hive), "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                              "\"BoolProp1\"=dword:0000000f\n"
                              "\"RefreshTime\"=dword:000003e8\n"
                              "\"LogName\"=\"quillon.log\"\n\n");

    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\brantwell\\quillon", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Brantwell", 0, KEY_READ, &key),
              ERROR_SUCCESS)
        << "a parent exists through its child";
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(key, "Quillon", 0, KEY_READ, &child), ERROR_SUCCESS);
    RegCloseKey(key);

    DWORD type = 0;
    char buffer[16];
    DWORD size = 4;
    EXPECT_EQ(
        RegQueryValueExA(child, "logname", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u) << "the size needed is reported";
    EXPECT_EQ(type, REG_SZ);
    size = sizeof buffer;
    EXPECT_EQ(
        RegQueryValueExA(child, "LOGNAME", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(size, 12u);
    EXPECT_STREQ(buffer, "quillon.log");
    size = 0;
    EXPECT_EQ(RegQueryValueExA(child, "RefreshTime", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegQueryValueExA(child, "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetDword(child, "BoolProp1", 1), ERROR_ACCESS_DENIED) << "opened for reading only";
    RegCloseKey(child);
}

TEST_F(RegistryFile, UnwritableHiveFailsWithoutDamage)
{
    // A plain file where the folder should be: the hive cannot be written.
    WriteText(root / "config" / "quillon", "not a folder");
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);

    // A folder or a fifo in the file's place: refused at once, nothing replaced.
    fs::remove(root / "config" / "quillon");
    fs::create_directories(hive);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSubKey, 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    fs::remove(hive);
    ASSERT_EQ(mkfifo(hive.c_str(), 0600), 0);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_fifo(hive));
}

TEST_F(RegistryFile, DamagedHiveKeepsWhatCanBeReadAndABackup)
{
    const std::string damaged = "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                                "\"RefreshTime\"=dword:000001f4\n"
                                "a hand edit that went wrong\n"
                                "\"LogName\"=\"kept.log\"\n";
    WriteText(hive, damaged);
    HKEY key = Create();
    DWORD value = 0;
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "RefreshTime", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 500u);

    EXPECT_EQ(SetDword(key, "BoolProp1", 3), ERROR_SUCCESS);
    EXPECT_EQ(ReadText(hive.string() + ".bak"), damaged);
    std::size_t unparsed = 99;
    HIVE saved = ParseFile(&unparsed);
    EXPECT_EQ(unparsed, 0u);
    EXPECT_NE(ValueAt(saved, kKeyPath, "LogName"), nullptr);
    EXPECT_NE(ValueAt(saved, kKeyPath, "RefreshTime"), nullptr);

    EXPECT_EQ(SetDword(key, "BoolProp1", 4), ERROR_SUCCESS);
    EXPECT_EQ(ReadText(hive.string() + ".bak"), damaged) << "a clean file makes no new backup";
    RegCloseKey(key);
}

TEST_F(RegistryFile, OversizedHiveReadsItsHeadAndKeepsTheWhole)
{
    std::string text = "Windows Registry Editor Version 5.00\n\n"
                       "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                       "\"First\"=dword:00000001\n";
    std::string filler = "\"Filler\"=hex:";
    while (text.size() + filler.size() < kHiveReadLimit - 300)
        filler += "00,";
    filler += "00\n";
    text += filler;
    // This line straddles the cap; its head alone would read as a shorter dword.
    const std::string straddle = "Straddle" + std::string(280, 's');
    text += "\"" + straddle + "\"=dword:00000077\n";
    text += std::string(4096, 'x');
    WriteText(hive, text);

    HKEY key = Create();
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "First", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, straddle.c_str(), nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetDword(key, "BoolProp1", 1), ERROR_SUCCESS);
    EXPECT_TRUE(ReadText(hive.string() + ".bak") == text) << "the whole file is kept";
    RegCloseKey(key);
}

TEST_F(RegistryFile, SymlinkedHiveIsWrittenThrough)
{
    fs::create_directories(hive.parent_path());
    fs::path real = root / "dotfiles.reg";
    WriteText(real, "");
    fs::create_symlink(real, hive);
    HKEY key = Create();
    EXPECT_EQ(SetDword(key, "BoolProp1", 1), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(fs::is_symlink(hive));
    EXPECT_NE(ReadText(real).find("\"BoolProp1\"=dword:00000001"), std::string::npos);
}

// A writer killed at any point leaves a whole file holding only values it wrote.
TEST_F(RegistryFile, KilledWriterNeverLeavesAHalfFile)
{
    const std::set<DWORD> periods = {100, 200};
    const std::set<std::string> names = {std::string(200, 'a'), "b.log"};
    bool bothWritten = false;
    for (int round = 0; round < 40; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            HKEY key = Create();
            for (unsigned i = 0;; ++i) {
                SetDword(key, "RefreshTime", (i % 2 + 1) * 100);
                SetString(key, "LogName", i % 2 ? *names.begin() : *names.rbegin());
            }
        }
        usleep(static_cast<useconds_t>(1000 + round % 10 * 2500));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);

        std::size_t unparsed = 99;
        HIVE parsed = ParseFile(&unparsed);
        if (parsed.keys.empty() && !fs::exists(hive))
            continue; // killed before the first write
        EXPECT_EQ(unparsed, 0u) << "round " << round;
        const HIVE_VALUE* period = ValueAt(parsed, kKeyPath, "RefreshTime");
        const HIVE_VALUE* name = ValueAt(parsed, kKeyPath, "LogName");
        if (bothWritten) {
            EXPECT_NE(period, nullptr) << "a value once written is never lost";
            EXPECT_NE(name, nullptr);
        }
        bothWritten = period != nullptr && name != nullptr;
        if (period != nullptr) {
            DWORD value = 0;
            ASSERT_EQ(period->data.size(), 4u);
            std::memcpy(&value, period->data.data(), 4);
            EXPECT_EQ(periods.count(value), 1u) << value;
        }
        if (name != nullptr) {
            std::string text = StringOf(*name);
            ASSERT_FALSE(text.empty());
            text.pop_back();
            EXPECT_EQ(names.count(text), 1u) << text;
        }
    }
    HKEY key = Create();
    EXPECT_EQ(SetDword(key, "BoolProp1", 1), ERROR_SUCCESS) << "the lock died with the writer";
    RegCloseKey(key);
}

// Two instances writing at once: the lock and the re-read keep both writers' values.
TEST_F(RegistryFile, ConcurrentWritersLoseNothing)
{
    constexpr DWORD kWrites = 40;
    pid_t children[2];
    for (int writer = 0; writer < 2; ++writer) {
        children[writer] = fork();
        ASSERT_GE(children[writer], 0);
        if (children[writer] == 0) {
            HKEY key = Create();
            const char* name = writer == 0 ? "First" : "Second";
            int failures = 0;
            for (DWORD i = 1; i <= kWrites; ++i)
                failures += SetDword(key, name, i) != ERROR_SUCCESS;
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HIVE parsed = ParseFile();
    for (const char* name : {"First", "Second"}) {
        const HIVE_VALUE* value = ValueAt(parsed, kKeyPath, name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_EQ(value->data, (std::vector<BYTE>{kWrites, 0, 0, 0})) << name;
    }
}

} // namespace
