#include "settings/connection_dump.h"

#include <atomic>
#include <cstdio>

#include "monitor/row_text.h"
#include "platform/text_copy.h"
#include "settings/file_version.h"
#include "settings/log_file.h"
#include "settings/prop.h"

namespace {

constexpr std::size_t kLineSize = 512;
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
    void Append(const char* text) { length += CopyCut(text, line + length, sizeof line - length); }
    const char* Text() const { return line; }

private:
    char line[kLineSize] = {};
    std::size_t length = 0;
};

void WriteRow(const CONN_ROW& row)
{
    LineBuilder line;
    char piece[kPieceSize];

    line.Append(GetProtocolText(row));
    line.Append("|");

    FormatEndpoint(row.localAddr, row.localPort, piece, sizeof piece);
    line.Append("Local address: ");
    line.Append(piece);
    line.Append(" - ");

    line.Append("Remote address: ");
    if (row.state != 0) {
        FormatEndpoint(row.remoteAddr, row.remotePort, piece, sizeof piece);
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
