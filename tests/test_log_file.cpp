// The log file: its session frames and its lines under concurrent writers.
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "res/resource.h"
#include "settings/log_file.h"
#include "test_support.h"

const std::string kHyphens(80, '-');
const std::string kStamp = "<<2024-03-15 14:07:09>>";
const std::string kOpening = "Quillon session opened  " + kStamp;

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
    SetClock("2024-03-05 08:04:02");
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
                                        "<<2024-03-05 08:04:02>>", kHyphens}));
    EXPECT_EQ(ReadLines(second),
              (std::vector<std::string>{"Quillon session opened  <<2024-03-05 08:04:02>>",
                                        "in second", "<<2024-03-05 08:04:02>>", kHyphens}));
}

// Only a regular file is a log: a fifo nobody reads would block the first
// full buffer for good, a device takes lines nobody can read back.
TEST_F(LogFileTest, WhatIsNotARegularFileIsRefused)
{
    const std::string fifo = dir / "fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {fifo, dir.path, std::string("/dev/full")}) {
        EXPECT_EQ(log.Open(name.c_str()), 0) << name;
        EXPECT_EQ(log.IsOpen(), 0) << name;
    }
    struct stat info {};
    EXPECT_TRUE(stat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
}

// A full disk: what did not fit is taken back to the last whole line, said
// once, and writing goes on whole once there is room again.
TEST_F(LogFileTest, AFullDiskLeavesWholeLinesOnly)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
    ASSERT_EQ(mount("quillon-test", dir.path.c_str(), "tmpfs", 0, "size=64k"), 0);
    ASSERT_EQ(log.Open(path.c_str()), 1);
    ASSERT_EQ(log.Flush(), 1);
    const std::string filler = dir / "filler";
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(512, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);

    const std::string row(100, 'r');
    testing::internal::CaptureStderr();
    for (int dump = 0; dump < 2; ++dump) {
        for (int i = 0; i < 100; ++i)
            log.Write("%s", row.c_str());
        EXPECT_EQ(log.Flush(), 0);
    }
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
    EXPECT_NE(told.find("No space left on device"), std::string::npos) << told;

    unlink(filler.c_str());
    log.Write("after");
    EXPECT_EQ(log.Flush(), 1);
    EXPECT_EQ(log.Close(), 1);
    EXPECT_EQ(ReadText(path), kOpening + "\nafter\n" + kStamp + "\n" + kHyphens + "\n");
    umount2(dir.path.c_str(), MNT_DETACH);
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
