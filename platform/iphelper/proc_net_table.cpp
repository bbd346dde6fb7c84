#include "platform/iphelper/proc_net_table.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <utility>

#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace iphelper {

namespace {

// Moves `cursor` past blanks and returns the next blank-separated field.
std::string_view NextField(std::string_view line, std::size_t& cursor)
{
    while (cursor < line.size() && (line[cursor] == ' ' || line[cursor] == '\t'))
        ++cursor;
    std::size_t start = cursor;
    while (cursor < line.size() && line[cursor] != ' ' && line[cursor] != '\t')
        ++cursor;
    return line.substr(start, cursor - start);
}

template <typename T> bool ParseHex(std::string_view text, T& value)
{
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:0050": the address is the kernel's network-order word printed as a
// native number, so its value is already the in-memory network-order word;
// the port is printed in host order.
bool ParseEndpoint(std::string_view text, std::uint32_t& addr, std::uint32_t& port)
{
    if (text.size() != 13 || text[8] != ':')
        return false;
    std::uint16_t hostPort;
    if (!ParseHex(text.substr(0, 8), addr) || !ParseHex(text.substr(9), hostPort))
        return false;
    port = htons(hostPort);
    return true;
}

struct ListedRow {
    unsigned long inode;
    MIB_TCPROW row;
};

bool ParseLine(Protocol protocol, std::string_view line, ListedRow& out)
{
    std::size_t cursor = 0;
    std::string_view slot = NextField(line, cursor);
    if (slot.empty() || slot.back() != ':')
        return false;
    std::string_view local = NextField(line, cursor);
    std::string_view remote = NextField(line, cursor);
    std::string_view state = NextField(line, cursor);
    NextField(line, cursor); // tx_queue:rx_queue
    NextField(line, cursor); // tr:tm->when
    NextField(line, cursor); // retrnsmt
    NextField(line, cursor); // uid
    NextField(line, cursor); // timeout
    std::string_view inode = NextField(line, cursor);

    MIB_TCPROW row{};
    std::uint32_t remoteAddr;
    std::uint32_t remotePort;
    unsigned linuxState;
    if (!ParseEndpoint(local, row.dwLocalAddr, row.dwLocalPort) ||
        !ParseEndpoint(remote, remoteAddr, remotePort) || !ParseHex(state, linuxState))
        return false;
    auto [end, error] = std::from_chars(inode.data(), inode.data() + inode.size(), out.inode, 10);
    if (inode.empty() || error != std::errc() || end != inode.data() + inode.size())
        return false;
    if (protocol == Protocol::Tcp) {
        row.dwState = MibStateFromLinux(linuxState);
        if (row.dwState == 0)
            return false;
        row.dwRemoteAddr = remoteAddr;
        row.dwRemotePort = remotePort;
    }
    out.row = row;
    return true;
}

} // namespace

const char* ProcNetPath(Protocol protocol)
{
    return protocol == Protocol::Tcp ? "/proc/net/tcp" : "/proc/net/udp";
}

void ParseProcNet(Protocol protocol, const std::string& text, EndpointRows& rows)
{
    rows.clear();
    std::vector<ListedRow> listed;
    std::string_view rest(text);
    bool header = true;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (header) {
            header = false;
            continue;
        }
        ListedRow entry;
        if (ParseLine(protocol, line, entry))
            listed.push_back(entry);
    }

    // Inode 0 marks sockets without a file (TIME_WAIT, half-open): never duplicates.
    std::stable_sort(listed.begin(), listed.end(),
                     [](const ListedRow& a, const ListedRow& b) { return a.inode < b.inode; });
    rows.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (i > 0 && listed[i].inode != 0 && listed[i].inode == listed[i - 1].inode)
            continue;
        rows.push_back(listed[i].row);
    }
}

int ReadProcNet(Protocol protocol, const char* path, std::string& text, EndpointRows& rows)
{
    rows.clear();
    text.clear();
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errno;
    char chunk[16384];
    ssize_t got;
    while ((got = ReadAll(fd.Get(), chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    if (got < 0)
        return errno;
    ParseProcNet(protocol, text, rows);
    return 0;
}

} // namespace iphelper
