#include "settings/log_file.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/string_resource.h"
#include "res/resource.h"

CLogFile logFile;

namespace {

constexpr std::size_t kLineSize = 512;
constexpr std::size_t kStampedResourceSize = 1024;
constexpr std::size_t kStampSize = 64;
constexpr std::size_t kSeparatorLength = 80;

std::atomic<std::time_t (*)()> logClock{nullptr};

std::time_t Now()
{
    std::time_t (*clock)() = logClock.load();
    return clock != nullptr ? clock() : std::time(nullptr);
}

// "YYYY-MM-DD hh:mm:ss" of the local time.
void FormatStamp(char* stamp, std::size_t size)
{
    std::time_t now = Now();
    std::tm local = {};
    if (localtime_r(&now, &local) == nullptr)
        local = std::tm{};
    std::snprintf(stamp, size, "%04u-%02u-%02u %02u:%02u:%02u",
                  static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                  static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                  static_cast<unsigned>(local.tm_sec));
}

// The stream of "a+" on a regular file only. The open does not block, so a fifo
// or a device in the log's place is refused instead of hanging the first write.
std::FILE* OpenForAppending(const char* name)
{
    int fd = open(name, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    int flags = fcntl(fd, F_GETFL);
    std::FILE* stream = nullptr;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        stream = fdopen(fd, "a+");
    if (stream == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

} // namespace

void SetLogClockForTesting(std::time_t (*clock)())
{
    logClock.store(clock);
}

CLogFile::CLogFile() = default;

CLogFile::~CLogFile()
{
    Close();
}

int CLogFile::Open(const char* name)
{
    if (name == nullptr || name[0] == '\0')
        return 0;
    // A cut name would be another file: refuse it and leave the log as it is.
    std::size_t length = std::strlen(name);
    if (length >= sizeof path)
        return 0;

    std::FILE* opened = nullptr;
    {
        std::unique_lock<std::mutex> guard(lock);
        // Close takes the lock itself; another thread may open again meanwhile,
        // so look once more after each close.
        while (file != nullptr) {
            guard.unlock();
            Close();
            guard.lock();
        }
        std::memcpy(path, name, length + 1);
        file = OpenForAppending(path);
        opened = file;
        struct stat info {};
        wholeEnd = file != nullptr && fstat(fileno(file), &info) == 0 ? info.st_size : 0;
        writeError = 0;
        failureTold = false;
    }
    if (opened == nullptr)
        return 0;
    WriteStampedResource(IDS_SESSION_OPENED);
    return 1;
}

int CLogFile::Flush()
{
    std::lock_guard<std::mutex> guard(lock);
    if (file == nullptr)
        return 0;
    return FlushWholeLines() ? 1 : 0;
}

// The stream writes by itself when its buffer fills, so a failure can come
// before the flush; its cause is kept from the moment it happens.
void CLogFile::NoteWriteError()
{
    if (writeError == 0 && std::ferror(file))
        writeError = errno != 0 ? errno : EIO;
}

// A failed or short write (a full disk) would leave a torn line. The file is cut
// back to where the last good flush left it and what was buffered is dropped:
// the log keeps whole lines only, and the next dump writes its snapshot afresh.
bool CLogFile::FlushWholeLines()
{
    if (std::fflush(file) != 0)
        NoteWriteError();
    struct stat info {};
    if (writeError == 0 && fstat(fileno(file), &info) == 0) {
        wholeEnd = info.st_size;
        failureTold = false;
        return true;
    }
    const int cause = writeError != 0 ? writeError : errno;
    __fpurge(file);
    std::clearerr(file);
    writeError = 0;
    const bool cut = ftruncate(fileno(file), wholeEnd) == 0;
    if (!failureTold)
        std::fprintf(
            stderr, "quillon: writing the log %s failed (%s); %s\n", path, std::strerror(cause),
            cut ? "its unfinished lines were taken back" : "it may end in an unfinished line");
    failureTold = true;
    return false;
}

int CLogFile::IsOpen()
{
    std::lock_guard<std::mutex> guard(lock);
    return file != nullptr ? 1 : 0;
}

int CLogFile::Write(const char* format, ...)
{
    // The line and its end go out in one piece; a longer text is cut to fit.
    char line[kLineSize + 1];
    va_list arguments;
    va_start(arguments, format);
    int formatted = std::vsnprintf(line, kLineSize, format, arguments);
    va_end(arguments);
    std::size_t length = formatted > 0 ? static_cast<std::size_t>(formatted) : 0;
    if (length >= kLineSize)
        length = kLineSize - 1;
    line[length] = '\n';

    std::lock_guard<std::mutex> guard(lock);
    if (file == nullptr)
        return 0;
    std::fwrite(line, 1, length + 1, file);
    NoteWriteError();
    return 1;
}

int CLogFile::WriteResource(unsigned id)
{
    char text[kLineSize];
    if (LoadStringA(id, text, sizeof text) <= 0)
        return 0;
    return Write("%s", text);
}

int CLogFile::WriteStamped(const char* text)
{
    std::lock_guard<std::mutex> guard(lock);
    if (file == nullptr)
        return 0;
    char stamp[kStampSize];
    FormatStamp(stamp, sizeof stamp);
    if (text != nullptr && text[0] != '\0')
        std::fprintf(file, "%s  <<%s>>\n", text, stamp);
    else
        std::fprintf(file, "<<%s>>\n", stamp);
    NoteWriteError();
    return 1;
}

int CLogFile::WriteStampedResource(unsigned id)
{
    char text[kStampedResourceSize];
    if (LoadStringA(id, text, sizeof text) <= 0)
        return 0;
    return WriteStamped(text);
}

int CLogFile::WriteSeparator(char ch)
{
    char line[kSeparatorLength + 1];
    std::memset(line, static_cast<unsigned char>(ch), kSeparatorLength);
    line[kSeparatorLength] = '\0';
    return Write("%s", line);
}

int CLogFile::Close()
{
    WriteStamped(nullptr);
    WriteSeparator('-');
    std::lock_guard<std::mutex> guard(lock);
    if (file == nullptr)
        return 0;
    bool flushed = FlushWholeLines();
    int result = std::fclose(file);
    file = nullptr;
    return flushed && result == 0 ? 1 : 0;
}
