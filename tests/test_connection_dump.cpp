#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "monitor/conn_table.h"
#include "monitor/host_cache.h"
#include "settings/connection_dump.h"
#include "settings/log_file.h"
#include "settings/prop.h"

namespace {

std::atomic<std::time_t> frozenNow{0};

std::time_t FrozenClock()
{
    return frozenNow.load();
}

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::atomic<int> messageCount{0};
std::string lastMessage;

void CountMessage(const char* text)
{
    lastMessage = text;
    ++messageCount;
}

// Address in network byte order: the first octet at the lowest address.
std::uint32_t Address(unsigned a, unsigned b, unsigned c, unsigned d)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

CONN_ROW Row(std::uint32_t state, std::uint32_t local, std::uint16_t localPort,
             std::uint32_t remote, std::uint16_t remotePort)
{
    CONN_ROW row;
    row.state = state;
    row.localAddr = local;
    row.localPort = localPort;
    row.remoteAddr = remote;
    row.remotePort = remotePort;
    return row;
}

// A snapshot buffer of the full size, as the scan cycle hands them over.
class Snapshot {
public:
    explicit Snapshot(std::vector<CONN_ROW> rows) : words(kConnTableBytes / 4, 0)
    {
        Table()->count = static_cast<std::uint32_t>(rows.size());
        if (!rows.empty())
            std::memcpy(reinterpret_cast<char*>(words.data()) + 4, rows.data(),
                        rows.size() * sizeof(CONN_ROW));
    }
    CONN_TABLE* Table() { return reinterpret_cast<CONN_TABLE*>(words.data()); }

private:
    std::vector<std::uint32_t> words;
};

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ComputerName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

const std::string kHyphens(80, '-');
const std::string kOpening = "Quillon session opened  <<2024-03-15 14:07:09>>";
const std::string kStamp = "<<2024-03-15 14:07:09>>";

class ConnectionDumpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillon-dump-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/quillon.log";
        logFile.Close();
        ASSERT_EQ(oProp.SetLogFileName(path.c_str()), 1);
        oProp.SetLogEnabled(1);
        oProp.SetShowHost(0);
        frozenNow = LocalTime(2024, 3, 15, 14, 7, 9);
        SetLogClockForTesting(FrozenClock);
        messageCount = 0;
        SetDumpMessageBoxHook(CountMessage);
    }
    void TearDown() override
    {
        logFile.Close();
        SetDumpMessageBoxHook(nullptr);
        SetLogClockForTesting(nullptr);
        std::filesystem::remove_all(dir);
    }

    std::string dir;
    std::string path;
    Snapshot example{{
        Row(2, Address(0, 0, 0, 0), 135, Address(0, 0, 0, 0), 0),
        Row(5, Address(192, 168, 1, 5), 1025, Address(10, 0, 0, 1), 80),
        Row(0, Address(0, 0, 0, 0), 137, 0, 0),
    }};
};

TEST_F(ConnectionDumpTest, WorkedExampleWithNumericAddresses)
{
    DumpToLogFile(example.Table());
    frozenNow = LocalTime(2024, 3, 15, 14, 7, 10);
    DumpToLogFile(example.Table());
    EXPECT_EQ(messageCount, 0);

    const std::vector<std::string> rows = {
        "TCP|Local address:   0.  0.  0.  0:  135 - Remote address:   0.  0.  0.  0:    0 - LISTEN",
        "TCP|Local address: 192.168.  1.  5: 1025 - Remote address:  10.  0.  0.  1:   80 - "
        "ESTABLISHED",
        "UDP|Local address:   0.  0.  0.  0:  137 - Remote address: *.* -  ",
    };
    std::vector<std::string> expected = {kOpening, "Product version: 1.0.0.6", kStamp};
    expected.insert(expected.end(), rows.begin(), rows.end());
    // A later dump of the same period: its stamp and its rows only.
    expected.push_back("<<2024-03-15 14:07:10>>");
    expected.insert(expected.end(), rows.begin(), rows.end());
    // Each dump is flushed, so the file holds it while the log stays open.
    EXPECT_EQ(ReadLines(path), expected);
}

TEST_F(ConnectionDumpTest, WorkedExampleWithNames)
{
    oProp.SetShowHost(1);
    hostCache.SetName(Address(192, 168, 1, 5), "alpha.example");
    hostCache.SetName(Address(10, 0, 0, 1), "beta.example");
    Snapshot table{{
        Row(2, Address(0, 0, 0, 0), 135, Address(0, 0, 0, 0), 0),
        Row(5, Address(192, 168, 1, 5), 1025, Address(10, 0, 0, 1), 80),
        Row(12, Address(127, 0, 0, 1), 443, Address(127, 0, 0, 1), 8080),
        Row(0, Address(0, 0, 0, 0), 137, 0, 0),
    }};
    DumpToLogFile(table.Table());

    const std::string host = ComputerName();
    std::vector<std::string> expected = {
        kOpening,
        "Product version: 1.0.0.6",
        kStamp,
        "TCP|Local address: " + host + ":epmap - Remote address: " + host + ":0 - LISTEN",
        "TCP|Local address: alpha.example:1025 - Remote address: beta.example:http - ESTABLISHED",
        "TCP|Local address: " + host + ":https - Remote address: " + host + ":8080 - UNC",
        "UDP|Local address: " + host + ":netbios-ns - Remote address: *.* -  ",
    };
    EXPECT_EQ(ReadLines(path), expected);
}

TEST_F(ConnectionDumpTest, LongHostNamesAreCutToTheLine)
{
    // Two names of the longest kind the cache keeps overflow a 512-byte line.
    oProp.SetShowHost(1);
    const std::string local(kMaxHostNameLength, 'x');
    const std::string remote(kMaxHostNameLength, 'y');
    hostCache.SetName(Address(10, 1, 1, 2), local.c_str());
    hostCache.SetName(Address(10, 1, 1, 3), remote.c_str());
    Snapshot table{{
        Row(5, Address(10, 1, 1, 2), 1025, Address(10, 1, 1, 3), 80),
        Row(0, Address(10, 1, 1, 2), 53, 0, 0),
    }};
    DumpToLogFile(table.Table());

    const std::string whole =
        "TCP|Local address: " + local + ":1025 - Remote address: " + remote + ":http - ESTABLISHED";
    ASSERT_GT(whole.size(), 511u);
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], whole.substr(0, 511));
    EXPECT_EQ(lines[4], "UDP|Local address: " + local + ":domain - Remote address: *.* -  ");
}

TEST_F(ConnectionDumpTest, LoggingSwitchOpensAndClosesTheLog)
{
    // Disabled with the log closed: nothing at all, not even a file.
    oProp.SetLogEnabled(0);
    DumpToLogFile(example.Table());
    EXPECT_FALSE(std::filesystem::exists(path));

    oProp.SetLogEnabled(1);
    Snapshot empty{{}};
    DumpToLogFile(empty.Table());
    // An empty table with the log open adds nothing.
    DumpToLogFile(empty.Table());
    DumpToLogFile(nullptr);

    frozenNow = LocalTime(2024, 3, 15, 18, 30, 2);
    oProp.SetLogEnabled(0);
    DumpToLogFile(example.Table());
    EXPECT_EQ(logFile.IsOpen(), 0);
    DumpToLogFile(example.Table());

    frozenNow = LocalTime(2024, 3, 16, 8, 0, 0);
    oProp.SetLogEnabled(1);
    DumpToLogFile(empty.Table());

    std::vector<std::string> expected = {
        kOpening,
        "Product version: 1.0.0.6",
        "<<2024-03-15 18:30:02>>",
        kHyphens,
        "Quillon session opened  <<2024-03-16 08:00:00>>",
        "Product version: 1.0.0.6",
    };
    logFile.Flush();
    EXPECT_EQ(ReadLines(path), expected);
    EXPECT_EQ(messageCount, 0);
}

TEST_F(ConnectionDumpTest, UnopenableLogShowsTheMessageOncePerDump)
{
    // A folder where the file should be, and a path that runs through a file.
    const std::string folder = dir + "/folder";
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string plainFile = dir + "/plain";
    std::ofstream(plainFile) << "x";
    for (const std::string& name : {folder, plainFile + "/quillon.log"}) {
        messageCount = 0;
        ASSERT_EQ(oProp.SetLogFileName(name.c_str()), 1);
        DumpToLogFile(example.Table());
        DumpToLogFile(example.Table());
        EXPECT_EQ(messageCount, 2) << name;
        EXPECT_EQ(lastMessage, "DumpToLogFile: logFile.Open - fail");
        EXPECT_EQ(logFile.IsOpen(), 0);
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_EQ(std::filesystem::file_size(plainFile), 1u);
}

TEST_F(ConnectionDumpTest, ReadOnlyFolderShowsTheMessageOncePerDump)
{
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string locked = dir + "/locked";
    ASSERT_TRUE(std::filesystem::create_directory(locked));
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    const std::string name = locked + "/quillon.log";
    ASSERT_EQ(oProp.SetLogFileName(name.c_str()), 1);

    // Root may write anywhere, so the dumps run in a child without privileges.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        messageCount = 0;
        DumpToLogFile(example.Table());
        DumpToLogFile(example.Table());
        _exit(messageCount * 10 + logFile.IsOpen());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 100) << "could not drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 20);
    EXPECT_TRUE(std::filesystem::is_empty(locked));
    chmod(locked.c_str(), 0755);
}

} // namespace
