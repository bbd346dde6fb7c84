// The log file, and the connection dumps written into it.
#include <ctime>
#include <map>

#include "monitor/host_cache.h"
#include "res/resource.h"
#include "settings/connection_dump.h"
#include "settings/log_file.h"
#include "settings/prop.h"
#include "test_support.h"

const std::string kHyphens(80, '-');
const std::string kStamp = "<<2024-03-15 14:07:09>>";
const std::string kOpening = "Quillon session opened  " + kStamp;

std::vector<std::string> ReadLines(const std::string& path)
{
    std::istringstream in(ReadText(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The clock of the log's stamps, frozen at a local time "YYYY-MM-DD hh:mm:ss".
std::atomic<std::time_t> frozenNow{0};

void SetClock(const char* text)
{
    std::tm local = {};
    ASSERT_NE(strptime(text, "%Y-%m-%d %H:%M:%S", &local), nullptr);
    local.tm_isdst = -1;
    frozenNow = std::mktime(&local);
    SetLogClockForTesting([] { return frozenNow.load(); });
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override { SetClock("2024-03-15 14:07:09"); }
    void TearDown() override
    {
        log.Close();
        logFile.Close();
        SetLogClockForTesting(nullptr);
    }

    TempDir dir;
    std::string path = dir / "quillon.log";
    CLogFile log;
};

TEST_F(LogFileTest, SessionsAreFramedAndAppended)
{
    const std::string second = dir / "second.log";
    std::ofstream(path) << "kept line\n";
    ASSERT_EQ(log.Open(path.c_str()), 1);
    EXPECT_EQ(log.Open(""), 0);
    EXPECT_EQ(log.Open(nullptr), 0);
    EXPECT_EQ(log.Write("SetRefreshTime: %dms.", 1000), 1);
    EXPECT_EQ(log.WriteStamped(""), 1);
    EXPECT_EQ(log.WriteStamped("note"), 1);
    EXPECT_EQ(log.WriteResource(IDS_PROPS_CHANGED), 1);
    SetClock("2024-03-15 18:30:02");
    ASSERT_EQ(log.Open(second.c_str()), 1);
    EXPECT_EQ(log.Write("in second"), 1);
    ASSERT_EQ(log.Close(), 1);
    // A closed log writes nothing, not even closing lines.
    EXPECT_EQ(log.Close(), 0);
    EXPECT_EQ(log.Write("late"), 0);
    EXPECT_EQ(log.WriteStamped("late"), 0);

    EXPECT_EQ(ReadLines(path),
              (std::vector<std::string>{"kept line", kOpening, "SetRefreshTime: 1000ms.", kStamp,
                                        "note  " + kStamp, "Chenged properties...",
                                        "<<2024-03-15 18:30:02>>", kHyphens}));
    EXPECT_EQ(ReadLines(second),
              (std::vector<std::string>{"Quillon session opened  <<2024-03-15 18:30:02>>",
                                        "in second", "<<2024-03-15 18:30:02>>", kHyphens}));
}

// Writers and a thread that keeps reopening the same file: every line reported
// as written is in the file whole, and nothing else is.
TEST_F(LogFileTest, ConcurrentLinesStayWholeAndNoneIsLost)
{
    ASSERT_EQ(log.Open(path.c_str()), 1);
    constexpr int kWriters = 4;
    std::map<std::string, int> written[kWriters], expected, found;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 400; ++i) {
                // Lines of different lengths and characters, so a mix shows.
                const std::string line =
                    "w" + std::to_string(w) + "#" + std::to_string(i) + ":" +
                    std::string(10 + (i * 37 + w * 11) % 300, static_cast<char>('a' + w));
                if (i % 5 == 0 ? log.WriteStamped(line.c_str()) : log.Write("%s", line.c_str()))
                    ++written[w][i % 5 == 0 ? line + "  " + kStamp : line];
            }
        });
    }
    std::atomic<bool> writing{true};
    int opens = 1;
    std::thread reopener([&] {
        for (; writing; std::this_thread::yield())
            opens += log.Open(path.c_str());
    });
    for (std::thread& writer : writers)
        writer.join();
    writing = false;
    reopener.join();
    ASSERT_EQ(log.Close(), 1);

    for (const auto& lines : written)
        for (const auto& [line, count] : lines)
            expected[line] += count;
    for (const std::string& line : ReadLines(path))
        ++found[line];
    EXPECT_EQ(found[kOpening], opens);
    EXPECT_EQ(found[kHyphens], opens);
    found.erase(kOpening);
    found.erase(kHyphens);
    found.erase(kStamp);
    EXPECT_EQ(found, expected);
}

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
    std::copy(rows.begin(), rows.end(), reinterpret_cast<CONN_ROW*>(&words[1]));
    DumpToLogFile(reinterpret_cast<const CONN_TABLE*>(words.data()));
}

class ConnectionDump : public LogFileTest {
protected:
    void SetUp() override
    {
        LogFileTest::SetUp();
        ASSERT_EQ(oProp.SetLogFileName(path.c_str()), 1);
        oProp.SetLogEnabled(1);
        oProp.SetShowHost(0);
        messageCount = 0;
        SetDumpMessageBoxHook([](const char* text) {
            EXPECT_STREQ(text, "DumpToLogFile: logFile.Open - fail");
            ++messageCount;
        });
    }

    const std::string kVersion = "Product version: 1.0.0.6";
    const std::vector<CONN_ROW> example = {Row(2, "0.0.0.0", 135),
                                           Row(5, "192.168.1.5", 1025, "10.0.0.1", 80),
                                           Row(0, "0.0.0.0", 137)};
};

// Only the first dump of a logging period opens the log and writes the
// version; with names on, names too long for the line are cut to it.
TEST_F(ConnectionDump, RowsWithNamesOffThenOn)
{
    Dump(example);
    Dump(example);
    oProp.SetShowHost(1);
    const std::string longName(kHostTextSize - 1, 'y');
    hostCache.SetName(inet_addr("192.168.1.5"), "alpha.example");
    hostCache.SetName(inet_addr("10.0.0.1"), "beta.example");
    hostCache.SetName(inet_addr("10.1.1.2"), longName.c_str());
    Dump(example);
    Dump({Row(5, "10.1.1.2", 1025, "10.1.1.2", 80)});

    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    const std::string host = name;
    const std::string numeric[] = {
        kStamp,
        "TCP|Local address:   0.  0.  0.  0:  135 - Remote address:   0.  0.  0.  0:    0 - LISTEN",
        "TCP|Local address: 192.168.  1.  5: 1025 - Remote address:  10.  0.  0.  1:   80 - "
        "ESTABLISHED",
        "UDP|Local address:   0.  0.  0.  0:  137 - Remote address: *.* -  "};
    std::vector<std::string> expected = {kOpening, kVersion};
    expected.insert(expected.end(), std::begin(numeric), std::end(numeric));
    expected.insert(expected.end(), std::begin(numeric), std::end(numeric));
    const std::string whole = "TCP|Local address: " + longName +
                              ":1025 - Remote address: " + longName + ":http - ESTABLISHED";
    expected.insert(
        expected.end(),
        {kStamp, "TCP|Local address: " + host + ":epmap - Remote address: " + host + ":0 - LISTEN",
         "TCP|Local address: alpha.example:1025 - Remote address: beta.example:http - ESTABLISHED",
         "UDP|Local address: " + host + ":netbios-ns - Remote address: *.* -  ", kStamp,
         whole.substr(0, 511)});
    EXPECT_EQ(ReadLines(path), expected);
    EXPECT_EQ(messageCount, 0);
}

TEST_F(ConnectionDump, LoggingSwitchClosesTheLogAndOpensANewFrame)
{
    oProp.SetLogEnabled(0);
    Dump(example);
    EXPECT_FALSE(fs::exists(path)) << "disabled with the log closed: no file at all";
    oProp.SetLogEnabled(1);
    Dump({});
    Dump({});
    DumpToLogFile(nullptr);
    SetClock("2024-03-15 18:30:02");
    oProp.SetLogEnabled(0);
    Dump(example);
    EXPECT_EQ(logFile.IsOpen(), 0);
    Dump(example);
    SetClock("2024-03-16 08:00:00");
    oProp.SetLogEnabled(1);
    Dump({});
    logFile.Flush();
    EXPECT_EQ(ReadLines(path), (std::vector<std::string>{
                                   kOpening, kVersion, "<<2024-03-15 18:30:02>>", kHyphens,
                                   "Quillon session opened  <<2024-03-16 08:00:00>>", kVersion}));
}

TEST_F(ConnectionDump, UnopenableLogShowsTheMessageAtEveryDump)
{
    ASSERT_EQ(oProp.SetLogFileName(dir.path.c_str()), 1);
    Dump(example);
    Dump(example);
    EXPECT_EQ(messageCount, 2);
    EXPECT_EQ(logFile.IsOpen(), 0);
    EXPECT_TRUE(fs::is_empty(dir.path));
}
