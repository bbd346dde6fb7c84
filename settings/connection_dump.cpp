#include "settings/connection_dump.h"

#include <algorithm>
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

template <typename Row> void WriteRow(const Row& row)
{
    LineBuilder line;
    char piece[kPieceSize];

    line.Append(GetProtocolText(row));
    line.Append("|");

    FormatLocalEndpoint(row, piece, sizeof piece);
    line.Append("Local address: ");
    line.Append(piece);
    line.Append(" - ");

    line.Append("Remote address: ");
    FormatRemoteEndpoint(row, piece, sizeof piece);
    line.Append(piece);
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

void DumpToLogFile(const CONN_TABLE* table, const CONN6_TABLE* table6)
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

    // A count beyond what the buffer can hold is not believed.
    std::uint32_t count = std::min(table->count, kConnTableMaxRows);
    std::uint32_t count6 = table6 != nullptr ? std::min(table6->count, kConn6TableMaxRows) : 0;
    if (count == 0 && count6 == 0)
        return;

    logFile.WriteStamped(nullptr);
    for (std::uint32_t i = 0; i < count; ++i)
        WriteRow(table->rows[i]);
    for (std::uint32_t i = 0; i < count6; ++i)
        WriteRow(table6->rows[i]);
    logFile.Flush();
}
