#pragma once

// The connection log: one append-only text file written line by line from
// several threads.
#include <cstdio>
#include <ctime>
#include <mutex>

class CLogFile {
public:
    CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;
    ~CLogFile();

    int Open(const char* name);
    int Flush();
    int IsOpen();
    int Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int WriteResource(unsigned id);
    int WriteStamped(const char* text);
    int WriteStampedResource(unsigned id);
    int WriteSeparator(char ch);
    int Close();

private:
    char path[260] = {};
    std::FILE* file = nullptr;
    std::mutex lock;
};

extern CLogFile logFile;

// Tests freeze the clock of the stamps with this; nullptr restores the real one.
void SetLogClockForTesting(std::time_t (*clock)());
