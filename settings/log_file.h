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
    bool FlushWholeLines();
    void NoteWriteError();

    char path[260] = {};
    std::FILE* file = nullptr;
    std::mutex lock;
    // Where the file ended after the last flush that wrote everything: a line end.
    long long wholeEnd = 0;
    // The cause of the first failed write since then, 0 while there was none.
    int writeError = 0;
    // A failure is told once, until a flush succeeds again.
    bool failureTold = false;
};

extern CLogFile logFile;

// Tests freeze the clock of the stamps with this; nullptr restores the real one.
void SetLogClockForTesting(std::time_t (*clock)());
