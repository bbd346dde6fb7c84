#pragma once

// Helpers shared by the tests that work on real files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "settings/log_file.h"

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/quillon-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

inline std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Freezes the clock of the log's stamps at a local time "YYYY-MM-DD hh:mm:ss"
// while it lives.
class FrozenLogClock {
public:
    explicit FrozenLogClock(const char* text)
    {
        Set(text);
        SetLogClockForTesting([] { return now.load(); });
    }
    ~FrozenLogClock() { SetLogClockForTesting(nullptr); }
    FrozenLogClock(const FrozenLogClock&) = delete;
    FrozenLogClock& operator=(const FrozenLogClock&) = delete;

    void Set(const char* text)
    {
        std::tm local = {};
        ASSERT_NE(strptime(text, "%Y-%m-%d %H:%M:%S", &local), nullptr);
        local.tm_isdst = -1;
        now = std::mktime(&local);
    }

private:
    static inline std::atomic<std::time_t> now{0};
};
