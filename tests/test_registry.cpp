// The registry calls, and the settings that persist through them, over the
// real hive file in a private $XDG_CONFIG_HOME.
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/hive_file.h"
#include "platform/registry.h"
#include "settings/prop.h"
#include "test_support.h"

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n"
                            "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n";

LONG SetDword(HKEY key, const char* name, DWORD value)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

class Hive : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", dir.path.c_str(), 1);
        fs::create_directory(dir / "quillon");
    }

    static LONG Create(HKEY* key)
    {
        *key = nullptr;
        return RegCreateKeyExA(HKEY_CURRENT_USER, kPropKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, key, nullptr);
    }

    // A value's bytes as the hive file holds them, empty when it is missing;
    // `unparsed` counts the file's lines that did not parse.
    std::string Saved(const char* name)
    {
        HIVE parsed;
        unparsed = ParseHive(ReadText(file), &parsed);
        const HIVE_KEY* key =
            FindHiveKey(parsed, "HKEY_CURRENT_USER\\" + std::string(kPropKeyPath));
        const HIVE_VALUE* value = key ? FindHiveValue(*key, name) : nullptr;
        return value ? std::string(value->data.begin(), value->data.end()) : "";
    }

    TempDir dir;
    std::string file = dir / "quillon/user.reg";
    std::size_t unparsed = 0;
};

// A file where the folder belongs, and a fifo in the file's place, which is
// neither read (it would hang) nor replaced.
TEST_F(Hive, UnwritableHiveIsRefused)
{
    HKEY key = nullptr;
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    EXPECT_EQ(Create(&key), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_fifo(file));
    fs::remove_all(dir / "quillon");
    std::ofstream(dir / "quillon") << "x";
    EXPECT_EQ(Create(&key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
}

// The kernel cannot be made to fail a folder's flush on demand; this fsync,
// which the program's calls in this binary reach, fails it while asked to.
std::atomic<bool> failFolderFlush{false};

extern "C" int fsync(int fd)
{
    struct stat status;
    if (failFolderFlush && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

// A save that might not outlive a crash has failed, and says so.
TEST_F(Hive, AFailedFolderFlushFailsTheSave)
{
    HKEY key = nullptr;
    ASSERT_EQ(Create(&key), ERROR_SUCCESS);
    failFolderFlush = true;
    testing::internal::CaptureStderr();
    EXPECT_NE(SetDword(key, "BoolProp1", 3), ERROR_SUCCESS);
    const std::string said = testing::internal::GetCapturedStderr();
    failFolderFlush = false;
    EXPECT_EQ(said, "quillon: the settings were not saved to " + file +
                        ": writing it failed: Input/output error\n");
    EXPECT_EQ(SetDword(key, "BoolProp1", 3), ERROR_SUCCESS);
    RegCloseKey(key);
}

// Damaged files: the good values read, the bad lines never read as values, and
// the first save keeps the damaged file whole as user.reg.bak.
TEST_F(Hive, DamagedHiveReadsWhatItCanAndKeepsABackup)
{
    const std::string first = kHeader + "\"First\"=dword:00000001\n";
    const std::pair<std::string, std::string> cases[] = {
        {first + "a hand edit that went wrong\n", "Other"},
        {first + "\"TooLong\"=dword:000000001\n", "TooLong"},
        {first + "\"Open\"=\"no closing quote\n", "Open"},
    };
    for (const auto& [text, missing] : cases) {
        SCOPED_TRACE(missing.substr(0, 10));
        std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        HKEY key = nullptr;
        DWORD size = 0;
        ASSERT_EQ(Create(&key), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(key, "First", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(RegQueryValueExA(key, missing.c_str(), nullptr, nullptr, nullptr, &size),
                  ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(SetDword(key, "BoolProp1", 3), ERROR_SUCCESS);
        EXPECT_TRUE(ReadText(file + ".bak") == text) << "the damaged file is kept whole";
        EXPECT_EQ(Saved("First"), std::string("\1\0\0\0", 4));
        EXPECT_EQ(unparsed, 0u);
        RegCloseKey(key);
    }
}

// A save changes only the value it sets: in a file of several megabytes, in
// UTF-16LE with CRLF line ends, and through a link to a file not made yet.
// A file past the read limit or made read-only is left as it is, and so is a
// link whose target has no folder.
TEST_F(Hive, SaveKeepsWhatItDidNotChangeOrRefuses)
{
    const auto utf16 = [](const std::u16string& text) {
        std::string bytes = "\xFF\xFE";
        for (char16_t unit : text)
            bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
        return bytes;
    };
    const auto withFlags = [](const std::string& flags, const std::string& tail) {
        return kHeader + "\"BoolProp1\"=dword:" + flags + "\n" + tail + "\n";
    };
    const std::string big =
        "\"Filler\"=\"" + std::string(3 << 20, 'f') + "\"\n\"After\"=dword:00000001\n";
    const std::u16string wide = u"Windows Registry Editor Version 5.00\r\n\r\n"
                                u"[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\r\n"
                                u"\"LogName\"=\"\u00dcber\U0001F600.log\"\r\n"
                                u"\"BoolProp1\"=dword:0000000";
    const std::string dotfiles = dir / "dotfiles/user.reg";
    fs::create_directory(dir / "dotfiles");
    const struct {
        std::string before, after, link;
        mode_t mode;
    } cases[] = {
        {withFlags("00000000", big), withFlags("00000003", big), "", 0600},
        {utf16(wide + u"0\r\n\r\n"), utf16(wide + u"3\r\n\r\n"), "", 0600},
        {"", withFlags("00000003", ""), "../dotfiles/user.reg", 0600},
        {withFlags("00000000", "\"Big\"=\"" + std::string(kHiveReadLimit, 'b') + '"'), "", "",
         0600},
        {withFlags("00000000", ""), "", "", 0444},
        {"", "", dir / "missing/user.reg", 0600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        fs::remove(file);
        fs::remove(dotfiles);
        if (!c.link.empty())
            fs::create_symlink(c.link, file);
        else
            std::ofstream(file, std::ios::binary) << c.before;
        if (c.link.empty())
            fs::permissions(file, static_cast<fs::perms>(c.mode));
        HKEY key = nullptr;
        EXPECT_EQ(Create(&key) == ERROR_SUCCESS && SetDword(key, "BoolProp1", 3) == ERROR_SUCCESS,
                  !c.after.empty());
        EXPECT_TRUE(ReadText(file) == (c.after.empty() ? c.before : c.after));
        EXPECT_EQ(fs::is_symlink(file), !c.link.empty());
        RegCloseKey(key);
    }
    char name[64] = {};
    DWORD size = sizeof name;
    HKEY key = nullptr;
    fs::remove(file);
    std::ofstream(file, std::ios::binary) << cases[1].before;
    ASSERT_EQ(Create(&key), ERROR_SUCCESS);
    EXPECT_EQ(
        RegQueryValueExA(key, "LogName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(name, "\xC3\x9C"
                       "ber\xF0\x9F\x98\x80.log");
    RegCloseKey(key);
}

// A writer killed at any point leaves a whole file holding each value whole,
// old or new, and its lock dies with it. The file holds both values before the
// first writer starts, so a missing value is a lost one.
TEST_F(Hive, KilledWriterNeverLeavesAHalfFile)
{
    // The short name holds both characters the file form escapes.
    const std::string longName(200, 'a'), shortName = "b\\\"c\\.log";
    // Round i stores the period (i % 2 + 1) * 100 and one of the names.
    const auto write = [&](HKEY key, unsigned i) {
        const std::string& name = i % 2 ? longName : shortName;
        return SetDword(key, "RefreshTime", (i % 2 + 1) * 100) == ERROR_SUCCESS &&
               RegSetValueExA(key, "LogName", 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(name.c_str()),
                              name.size() + 1) == ERROR_SUCCESS;
    };
    HKEY key = nullptr;
    ASSERT_EQ(Create(&key), ERROR_SUCCESS);
    ASSERT_TRUE(write(key, 0));
    for (int round = 0; round < 40; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i)
                write(key, i);
        }
        usleep(static_cast<useconds_t>(1000 + round % 10 * 2500));
        kill(child, SIGKILL);
        ASSERT_EQ(waitpid(child, nullptr, 0), child);
        SCOPED_TRACE(round);
        const std::string period = Saved("RefreshTime"), name = Saved("LogName");
        EXPECT_EQ(unparsed, 0u);
        EXPECT_TRUE(period == std::string("\x64\0\0\0", 4) ||
                    period == std::string("\xc8\0\0\0", 4));
        EXPECT_TRUE(name == longName + '\0' || name == shortName + '\0');
    }
    EXPECT_EQ(SetDword(key, "BoolProp1", 1), ERROR_SUCCESS);
    RegCloseKey(key);
}

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

// Periods are cut to whole steps of 100 ms and kept within 100 to 10000.
TEST_F(Hive, SettingsLoadEachGoodValueAndReportTheBadOnes)
{
    const std::string flags = "dword:0000000f", period = "dword:000003e8", name = "\"x.log\"";
    std::string unterminated = "hex(1):";
    for (int i = 0; i < 259; ++i)
        unterminated += "75,";
    const struct {
        std::string bits, period, name;
        int loaded;
        std::string options;
    } cases[] = {
        {"dword:00000000", "dword:00000000", name, 1, "0,0,0,0 100 x.log"},
        {"dword:0000000a", "dword:000000c7", name, 1, "0,2,0,8 100 x.log"},
        {"dword:fffffff5", "dword:0000060e", name, 1, "1,0,4,0 1500 x.log"},
        {flags, "dword:0000277b", name, 1, "1,2,4,8 10000 x.log"},
        {flags, "dword:ffffffff", name, 1, "1,2,4,8 10000 x.log"},
        {"dword:00000002", "\"500\"", name, 0, "0,2,0,0 1000 x.log"},
        {flags, "hex(4):f4,01", name, 0, "1,2,4,8 1000 x.log"},
        {flags, period, "\"\"", 1, "1,2,4,8 1000 quillon.log"},
        {flags, period, "hex(2):25,48,4f,4d,45,25,00", 0, "1,2,4,8 1000 quillon.log"},
        {flags, period, unterminated + "76", 1, "1,2,4,8 1000 " + std::string(259, 'u')},
    };
    CProp prop;
    for (const auto& c : cases) {
        std::ofstream(file) << kHeader << "\"BoolProp1\"=" << c.bits
                            << "\n\"RefreshTime\"=" << c.period << "\n\"LogName\"=" << c.name
                            << "\n";
        EXPECT_EQ(prop.Load(), c.loaded) << c.bits << " " << c.period << " " << c.name.substr(0, 9);
        EXPECT_EQ(Options(prop), c.options);
    }
}
