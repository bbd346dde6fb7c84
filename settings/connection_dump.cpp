#include "settings/connection_dump.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "monitor/host_cache.h"
#include "monitor/row_text.h"
#include "settings/file_version.h"
#include "settings/log_file.h"
#include "settings/prop.h"

namespace {

constexpr std::size_t kLineSize = 512;
constexpr std::size_t kHostSize = 260;
constexpr std::size_t kPieceSize = 512;

std::atomic<MessageBoxHook> messageBoxHook{nullptr};

void ShowMessage(const char* text)
{
    MessageBoxHook hook = messageBoxHook.load();
    if (hook != nullptr)
        hook(text);
    else
        std::fprintf(stderr, "%s\n", text);
}

// Appends `text` to the line, cutting it so that the line never outgrows its buffer.
class LineBuilder {
public:
    void Append(const char* text)
    {
        std::size_t room = sizeof line - 1 - length;
        std::size_t add = std::strlen(text);
        if (add > room)
            add = room;
        std::memcpy(line + length, text, add);
        length += add;
        line[length] = '\0';
    }
    const char* Text() const { return line; }

private:
    char line[kLineSize] = {};
    std::size_t length = 0;
};

// The endpoint in the form that showHost chooses, read anew for each endpoint.
void FormatDumpEndpoint(std::uint32_t address, std::uint16_t port, char* buffer, std::size_t size)
{
    if (oProp.GetShowHost()) {
        char host[kHostSize] = {};
        FormatHostAddress(address, host);
        host[sizeof host - 1] = '\0';
        FormatNamedEndpoint(host, port, buffer, size);
    } else {
        FormatNumericEndpoint(address, port, buffer, size);
    }
}

void WriteRow(const CONN_ROW& row)
{
    LineBuilder line;
    char piece[kPieceSize];

    line.Append(row.state != 0 ? "TCP|" : "UDP|");

    FormatDumpEndpoint(row.localAddr, row.localPort, piece, sizeof piece);
    line.Append("Local address: ");
    line.Append(piece);
    line.Append(" - ");

    line.Append("Remote address: ");
    if (row.state != 0) {
        FormatDumpEndpoint(row.remoteAddr, row.remotePort, piece, sizeof piece);
        line.Append(piece);
    } else {
        line.Append(kNoRemoteText);
    }
    line.Append(" - ");

    char state[16] = {};
    GetStateName(row.state, state);
    line.Append(state);

    logFile.Write("%s", line.Text());
}

} // namespace

void SetDumpMessageBoxHook(MessageBoxHook hook)
{
    messageBoxHook.store(hook);
}

void DumpToLogFile(const CONN_TABLE* table)
{
    if (table == nullptr)
        return;

    if (oProp.GetLogEnabled() == 0) {
        if (logFile.IsOpen()) {
            logFile.Flush();
            logFile.Close();
        }
        return;
    }

    if (!logFile.IsOpen()) {
        char name[kLogFileNameSize] = {};
        oProp.GetLogFileName(name);
        if (!logFile.Open(name)) {
            ShowMessage("DumpToLogFile: logFile.Open - fail");
            return;
        }
        CFileVersion version;
        logFile.Write("Product version: %u.%u.%u.%u", version.fileVersionMS >> 16,
                      version.fileVersionMS & 0xFFFF, version.fileVersionLS >> 16,
                      version.fileVersionLS & 0xFFFF);
    }

    if (table->count == 0)
        return;

    logFile.WriteStamped(nullptr);
    // A count beyond what the buffer can hold is not believed.
    std::uint32_t count = table->count;
    if (count > kConnTableMaxRows)
        count = kConnTableMaxRows;
    const CONN_ROW* rows = table->rows;
    for (std::uint32_t i = 0; i < count; ++i)
        WriteRow(rows[i]);
    logFile.Flush();
}
