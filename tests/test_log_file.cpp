#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "res/resource.h"
#include "settings/log_file.h"

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

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string kHyphens(80, '-');

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/quillon-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        first = dir + "/first.log";
        second = dir + "/second.log";
        frozenNow = LocalTime(2024, 3, 15, 14, 7, 9);
        SetLogClockForTesting(FrozenClock);
    }
    void TearDown() override
    {
        log.Close();
        SetLogClockForTesting(nullptr);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    std::string dir;
    std::string first;
    std::string second;
    CLogFile log;
};

TEST_F(LogFileTest, SessionIsFramedByOpeningAndClosingLines)
{
    ASSERT_EQ(log.Open(first.c_str()), 1);
    EXPECT_EQ(log.IsOpen(), 1);
    EXPECT_EQ(log.Write("SetRefreshTime: %dms.", 1000), 1);
    EXPECT_EQ(log.WriteStamped(""), 1);
    EXPECT_EQ(log.WriteStamped("note"), 1);
    EXPECT_EQ(log.WriteResource(IDS_PROPS_CHANGED), 1);
    EXPECT_EQ(log.WriteSeparator('='), 1);
    frozenNow = LocalTime(2024, 3, 15, 18, 30, 2);
    EXPECT_EQ(log.Close(), 1);
    EXPECT_EQ(log.IsOpen(), 0);

    std::vector<std::string> expected = {
        "Quillon session opened  <<2024-03-15 14:07:09>>",
        "SetRefreshTime: 1000ms.",
        "<<2024-03-15 14:07:09>>",
        "note  <<2024-03-15 14:07:09>>",
        "Chenged properties...",
        std::string(80, '='),
        "<<2024-03-15 18:30:02>>",
        kHyphens,
    };
    EXPECT_EQ(ReadLines(first), expected);
    EXPECT_EQ(ReadText(first).back(), '\n');
}

TEST_F(LogFileTest, ClosedLogWritesNothing)
{
    EXPECT_EQ(log.Close(), 0);
    EXPECT_EQ(log.Write("x"), 0);
    EXPECT_EQ(log.WriteStamped("x"), 0);
    EXPECT_EQ(log.WriteSeparator('-'), 0);
    EXPECT_EQ(log.WriteResource(IDS_PROPS_CHANGED), 0);
    EXPECT_EQ(log.Flush(), 0);
    EXPECT_EQ(log.Open(first.c_str()), 1);
    // An unknown string writes nothing.
    EXPECT_EQ(log.WriteResource(9999), 0);
    EXPECT_EQ(log.WriteStampedResource(9999), 0);
    EXPECT_EQ(log.Close(), 1);
    EXPECT_EQ(ReadText(first),
              "Quillon session opened  <<2024-03-15 14:07:09>>\n<<2024-03-15 14:07:09>>\n" +
                  kHyphens + "\n");

    const std::string closed = ReadText(first);
    EXPECT_EQ(log.Close(), 0);
    EXPECT_EQ(log.Write("late"), 0);
    EXPECT_EQ(ReadText(first), closed);
}

TEST_F(LogFileTest, OpenFramesEachFileAcrossReopens)
{
    {
        std::ofstream existing(first);
        existing << "kept line\n";
    }
    ASSERT_EQ(log.Open(first.c_str()), 1);
    log.Write("in first");

    // Refused names leave the open log alone.
    EXPECT_EQ(log.Open(""), 0);
    EXPECT_EQ(log.Open(nullptr), 0);
    EXPECT_EQ(log.IsOpen(), 1);
    EXPECT_EQ(log.Write("still first"), 1);

    frozenNow = LocalTime(2024, 3, 15, 15, 0, 0);
    ASSERT_EQ(log.Open(second.c_str()), 1);
    log.Write("in second");
    frozenNow = LocalTime(2024, 3, 16, 9, 5, 1);
    ASSERT_EQ(log.Open(first.c_str()), 1);
    log.Write("first again");
    ASSERT_EQ(log.Close(), 1);

    std::vector<std::string> firstExpected = {
        "kept line",
        "Quillon session opened  <<2024-03-15 14:07:09>>",
        "in first",
        "still first",
        "<<2024-03-15 15:00:00>>",
        kHyphens,
        "Quillon session opened  <<2024-03-16 09:05:01>>",
        "first again",
        "<<2024-03-16 09:05:01>>",
        kHyphens,
    };
    std::vector<std::string> secondExpected = {
        "Quillon session opened  <<2024-03-15 15:00:00>>",
        "in second",
        "<<2024-03-16 09:05:01>>",
        kHyphens,
    };
    EXPECT_EQ(ReadLines(first), firstExpected);
    EXPECT_EQ(ReadLines(second), secondExpected);
}

TEST_F(LogFileTest, FailedOpenLeavesTheLogClosed)
{
    ASSERT_EQ(log.Open(first.c_str()), 1);
    EXPECT_EQ(log.Open(dir.c_str()), 0);
    EXPECT_EQ(log.IsOpen(), 0);
    EXPECT_EQ(log.Write("lost"), 0);
    // The old file got its closing lines before the new name failed.
    std::vector<std::string> lines = ReadLines(first);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], kHyphens);

    EXPECT_EQ(log.Open((dir + "/first.log/under-a-file").c_str()), 0);
    EXPECT_EQ(log.IsOpen(), 0);
}

TEST_F(LogFileTest, OverlongTextsAreCutAndNamesRefused)
{
    ASSERT_EQ(log.Open(first.c_str()), 1);
    std::string longText(2000, 'a');
    EXPECT_EQ(log.Write("%s", longText.c_str()), 1);
    EXPECT_EQ(log.Write("%s%s", longText.c_str(), "tail"), 1);
    EXPECT_EQ(log.Write("after"), 1);
    // A stamped text has no limit of its own.
    EXPECT_EQ(log.WriteStamped(longText.c_str()), 1);

    // A name that does not fit the path is refused, not cut to another file.
    std::string longName = dir + "/" + std::string(300, 'n');
    EXPECT_EQ(log.Open(longName.c_str()), 0);
    EXPECT_EQ(log.IsOpen(), 1);
    ASSERT_EQ(log.Close(), 1);

    std::vector<std::string> lines = ReadLines(first);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], std::string(511, 'a'));
    EXPECT_EQ(lines[2], std::string(511, 'a'));
    EXPECT_EQ(lines[3], "after");
    EXPECT_EQ(lines[4], longText + "  <<2024-03-15 14:07:09>>");
}

// Writers and a thread that keeps reopening the same file: every line that a
// write reported as written is in the file whole, and nothing else is.
TEST_F(LogFileTest, ConcurrentLinesStayWholeAndNoneIsLost)
{
    ASSERT_EQ(log.Open(first.c_str()), 1);
    constexpr int kWriters = 4;
    constexpr int kLinesEach = 400;
    std::atomic<bool> writing{true};
    std::vector<std::map<std::string, int>> written(kWriters);

    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kLinesEach; ++i) {
                // Lines of different lengths and characters, so a mix shows.
                std::string body(static_cast<std::size_t>(10 + (i * 37 + w * 11) % 300),
                                 static_cast<char>('a' + w));
                char line[400];
                std::snprintf(line, sizeof line, "w%d#%d:%s", w, i, body.c_str());
                if (i % 5 == 0) {
                    if (log.WriteStamped(line))
                        ++written[w][std::string(line) + "  <<2024-03-15 14:07:09>>"];
                } else if (log.Write("%s", line)) {
                    ++written[w][line];
                }
            }
        });
    }
    int opens = 1;
    std::thread reopener([&] {
        while (writing) {
            if (log.Open(first.c_str()))
                ++opens;
            std::this_thread::yield();
        }
    });
    for (std::thread& writer : writers)
        writer.join();
    writing = false;
    reopener.join();
    ASSERT_EQ(log.Close(), 1);

    std::map<std::string, int> expected;
    for (const auto& perWriter : written)
        for (const auto& [line, count] : perWriter)
            expected[line] += count;
    std::map<std::string, int> found;
    int openings = 0;
    int closings = 0;
    for (const std::string& line : ReadLines(first)) {
        if (line == "Quillon session opened  <<2024-03-15 14:07:09>>")
            ++openings;
        else if (line == kHyphens)
            ++closings;
        else if (line != "<<2024-03-15 14:07:09>>")
            ++found[line];
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(openings, opens);
    EXPECT_EQ(closings, opens);
}

} // namespace
