#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "res/resource.h"
#include "settings/log_file.h"
#include "test_support.h"

namespace {

const std::string kHyphens(80, '-');
const std::string kOpening = "Quillon session opened  <<2024-03-15 14:07:09>>";
const std::string kStamp = "<<2024-03-15 14:07:09>>";

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path.empty()); }
    void TearDown() override { log.Close(); }

    TempDir dir;
    FrozenLogClock clock{"2024-03-15 14:07:09"};
    std::string first = dir / "first.log";
    CLogFile log;
};

TEST_F(LogFileTest, SessionsAreFramedAcrossFilesAndReopens)
{
    const std::string second = dir / "second.log";
    std::ofstream(first) << "kept line\n";
    ASSERT_EQ(log.Open(first.c_str()), 1);
    EXPECT_EQ(log.Write("SetRefreshTime: %dms.", 1000), 1);
    EXPECT_EQ(log.WriteStamped(""), 1);
    EXPECT_EQ(log.WriteStamped("note"), 1);
    EXPECT_EQ(log.WriteResource(IDS_PROPS_CHANGED), 1);
    clock.Set("2024-03-15 18:30:02");
    ASSERT_EQ(log.Open(second.c_str()), 1);
    EXPECT_EQ(log.Write("in second"), 1);
    clock.Set("2024-03-16 09:05:01");
    ASSERT_EQ(log.Open(first.c_str()), 1);
    EXPECT_EQ(log.Write("first again"), 1);
    ASSERT_EQ(log.Close(), 1);

    const std::string reopened = "Quillon session opened  <<2024-03-16 09:05:01>>";
    const std::vector<std::string> firstLines = {"kept line",
                                                 kOpening,
                                                 "SetRefreshTime: 1000ms.",
                                                 kStamp,
                                                 "note  <<2024-03-15 14:07:09>>",
                                                 "Chenged properties...",
                                                 "<<2024-03-15 18:30:02>>",
                                                 kHyphens,
                                                 reopened,
                                                 "first again",
                                                 "<<2024-03-16 09:05:01>>",
                                                 kHyphens};
    EXPECT_EQ(ReadLines(first), firstLines);
    EXPECT_EQ(ReadLines(second),
              (std::vector<std::string>{"Quillon session opened  <<2024-03-15 18:30:02>>",
                                        "in second", "<<2024-03-16 09:05:01>>", kHyphens}));

    // A closed log writes nothing, not even closing lines.
    EXPECT_EQ(log.Close(), 0);
    EXPECT_EQ(log.Write("late"), 0);
    EXPECT_EQ(log.WriteStamped("late"), 0);
    EXPECT_EQ(ReadLines(first), firstLines);
}

// Writers and a thread that keeps reopening the same file: every line reported
// as written is in the file whole, and nothing else is.
TEST_F(LogFileTest, ConcurrentLinesStayWholeAndNoneIsLost)
{
    ASSERT_EQ(log.Open(first.c_str()), 1);
    constexpr int kWriters = 4;
    std::vector<std::map<std::string, int>> written(kWriters);
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 400; ++i) {
                // Lines of different lengths and characters, so a mix shows.
                std::string line =
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
            opens += log.Open(first.c_str());
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
    for (const std::string& line : ReadLines(first))
        ++found[line];
    EXPECT_EQ(found[kOpening], opens);
    EXPECT_EQ(found[kHyphens], opens);
    found.erase(kOpening);
    found.erase(kHyphens);
    found.erase(kStamp);
    EXPECT_EQ(found, expected);
}

} // namespace
