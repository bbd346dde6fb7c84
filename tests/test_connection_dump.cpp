#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "monitor/conn_table.h"
#include "monitor/host_cache.h"
#include "settings/connection_dump.h"
#include "settings/log_file.h"
#include "settings/prop.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::atomic<int> messageCount{0};

CONN_ROW Row(std::uint32_t state, const char* local, std::uint16_t localPort,
             const char* remote = "0.0.0.0", std::uint16_t remotePort = 0)
{
    return {state, inet_addr(local), localPort, inet_addr(remote), remotePort};
}

// Dumps the rows from a table buffer of the full size, as the scan cycle hands them over.
void Dump(const std::vector<CONN_ROW>& rows)
{
    std::vector<std::uint32_t> words(kConnTableBytes / 4, 0);
    words[0] = static_cast<std::uint32_t>(rows.size());
    std::copy_n(reinterpret_cast<const char*>(rows.data()), rows.size() * sizeof(CONN_ROW),
                reinterpret_cast<char*>(&words[1]));
    DumpToLogFile(reinterpret_cast<const CONN_TABLE*>(words.data()));
}

const std::string kOpening = "Quillon session opened  <<2024-03-15 14:07:09>>";
const std::string kVersion = "Product version: 1.0.0.6";

class ConnectionDumpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        ASSERT_EQ(oProp.SetLogFileName(path.c_str()), 1);
        oProp.SetLogEnabled(1);
        oProp.SetShowHost(0);
        messageCount = 0;
        SetDumpMessageBoxHook([](const char* text) {
            EXPECT_STREQ(text, "DumpToLogFile: logFile.Open - fail");
            ++messageCount;
        });
    }
    void TearDown() override
    {
        logFile.Close();
        SetDumpMessageBoxHook(nullptr);
    }

    TempDir dir;
    FrozenLogClock clock{"2024-03-15 14:07:09"};
    std::string path = dir / "quillon.log";
    const std::vector<CONN_ROW> example = {Row(2, "0.0.0.0", 135),
                                           Row(5, "192.168.1.5", 1025, "10.0.0.1", 80),
                                           Row(0, "0.0.0.0", 137)};
};

TEST_F(ConnectionDumpTest, WorkedExampleWithNamesOffThenOn)
{
    Dump(example);
    Dump(example);
    oProp.SetShowHost(1);
    hostCache.SetName(inet_addr("192.168.1.5"), "alpha.example");
    hostCache.SetName(inet_addr("10.0.0.1"), "beta.example");
    Dump(example);

    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    const std::string host = name;
    const std::vector<std::string> numeric = {
        "<<2024-03-15 14:07:09>>",
        "TCP|Local address:   0.  0.  0.  0:  135 - Remote address:   0.  0.  0.  0:    0 - LISTEN",
        "TCP|Local address: 192.168.  1.  5: 1025 - Remote address:  10.  0.  0.  1:   80 - "
        "ESTABLISHED",
        "UDP|Local address:   0.  0.  0.  0:  137 - Remote address: *.* -  "};
    const std::vector<std::string> named = {
        "<<2024-03-15 14:07:09>>",
        "TCP|Local address: " + host + ":epmap - Remote address: " + host + ":0 - LISTEN",
        "TCP|Local address: alpha.example:1025 - Remote address: beta.example:http - ESTABLISHED",
        "UDP|Local address: " + host + ":netbios-ns - Remote address: *.* -  "};
    // Only the first dump of a logging period opens the log and writes the version.
    std::vector<std::string> expected = {kOpening, kVersion};
    for (const auto* dump : {&numeric, &numeric, &named})
        expected.insert(expected.end(), dump->begin(), dump->end());
    EXPECT_EQ(ReadLines(path), expected);
    EXPECT_EQ(messageCount, 0);
}

TEST_F(ConnectionDumpTest, LongHostNamesAreCutToTheLine)
{
    oProp.SetShowHost(1);
    const std::string local(kHostTextSize - 1, 'x');
    const std::string remote(kHostTextSize - 1, 'y');
    hostCache.SetName(inet_addr("10.1.1.2"), local.c_str());
    hostCache.SetName(inet_addr("10.1.1.3"), remote.c_str());
    Dump({Row(5, "10.1.1.2", 1025, "10.1.1.3", 80), Row(0, "10.1.1.2", 53)});

    const std::string whole =
        "TCP|Local address: " + local + ":1025 - Remote address: " + remote + ":http - ESTABLISHED";
    ASSERT_GT(whole.size(), 511u);
    std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3], whole.substr(0, 511));
    EXPECT_EQ(lines[4], "UDP|Local address: " + local + ":domain - Remote address: *.* -  ");
}

TEST_F(ConnectionDumpTest, LoggingSwitchClosesTheLogAndOpensANewFrame)
{
    oProp.SetLogEnabled(0);
    Dump(example);
    EXPECT_FALSE(fs::exists(path)) << "disabled with the log closed: no file at all";

    oProp.SetLogEnabled(1);
    Dump({});
    Dump({});
    DumpToLogFile(nullptr);
    clock.Set("2024-03-15 18:30:02");
    oProp.SetLogEnabled(0);
    Dump(example);
    EXPECT_EQ(logFile.IsOpen(), 0);
    Dump(example);
    clock.Set("2024-03-16 08:00:00");
    oProp.SetLogEnabled(1);
    Dump({});
    logFile.Flush();

    EXPECT_EQ(ReadLines(path),
              (std::vector<std::string>{
                  kOpening, kVersion, "<<2024-03-15 18:30:02>>", std::string(80, '-'),
                  "Quillon session opened  <<2024-03-16 08:00:00>>", kVersion}));
}

TEST_F(ConnectionDumpTest, UnopenableLogShowsTheMessageOncePerDump)
{
    // A folder where the file should be, and a path that runs through a file.
    const std::string folder = dir / "folder";
    const std::string plainFile = dir / "plain";
    fs::create_directory(folder);
    std::ofstream(plainFile) << "x";
    for (const std::string& name : {folder, plainFile + "/quillon.log"}) {
        messageCount = 0;
        ASSERT_EQ(oProp.SetLogFileName(name.c_str()), 1);
        Dump(example);
        Dump(example);
        EXPECT_EQ(messageCount, 2) << name;
        EXPECT_EQ(logFile.IsOpen(), 0);
    }
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(fs::file_size(plainFile), 1u);
}

} // namespace
