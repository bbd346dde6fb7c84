#include "platform/iphelper/proc_net_table.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
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

bool IsV4Mapped(const std::uint32_t* words)
{
    return words[0] == 0 && words[1] == 0 && words[2] == htonl(0xFFFF);
}

// "0100007F:0050" in the IPv4 tables, four such address words before the
// colon in the IPv6 ones. Each word is the kernel's network-order word
// printed as a native number, so its value is already the in-memory word;
// the port is printed in host order. An IPv6 end is kept when it is
// v4-mapped, or when it is the remote :: of a socket without a peer.
bool ParseEndpoint(std::string_view text, bool local, std::uint32_t& addr, std::uint32_t& port)
{
    const std::size_t colon = text.find(':');
    if ((colon != 8 && colon != 32) || text.size() != colon + 5)
        return false;
    std::uint32_t words[4] = {};
    for (std::size_t word = 0; word < colon / 8; ++word)
        if (!ParseHex(text.substr(word * 8, 8), words[word]))
            return false;
    std::uint16_t hostPort;
    if (!ParseHex(text.substr(colon + 1), hostPort))
        return false;
    if (colon == 8)
        addr = words[0];
    else if (IsV4Mapped(words))
        addr = words[3];
    // These tables do not tell IPV6_V6ONLY, so a socket bound to :: may or
    // may not take IPv4 traffic: it is left out rather than guessed.
    else if (!local && (words[0] | words[1] | words[2] | words[3]) == 0)
        addr = 0;
    else
        return false;
    port = htons(hostPort);
    return true;
}

// Four address words and a port: the bytes of the address as they are in memory.
bool ParseEndpoint6(std::string_view text, std::uint8_t* addr, std::uint32_t& port)
{
    if (text.size() != 37 || text[32] != ':')
        return false;
    std::uint32_t words[4] = {};
    for (std::size_t word = 0; word < 4; ++word)
        if (!ParseHex(text.substr(word * 8, 8), words[word]))
            return false;
    std::uint16_t hostPort;
    if (!ParseHex(text.substr(33), hostPort) || IsV4Mapped(words))
        return false;
    std::memcpy(addr, words, sizeof words);
    port = htons(hostPort);
    return true;
}

template <typename Row> struct ListedRow {
    unsigned long inode;
    Row row;
};

// The fields of a table line up to the inode, which is read into `inode`.
struct LineFields {
    std::string_view local, remote, state;
};

bool SplitLine(std::string_view line, LineFields& fields, unsigned long& inodeNumber)
{
    std::size_t cursor = 0;
    std::string_view slot = NextField(line, cursor);
    if (slot.empty() || slot.back() != ':')
        return false;
    fields.local = NextField(line, cursor);
    fields.remote = NextField(line, cursor);
    fields.state = NextField(line, cursor);
    for (int skipped = 0; skipped < 5; ++skipped)
        NextField(line, cursor); // queues, timer, retransmits, uid, timeout
    std::string_view inode = NextField(line, cursor);
    auto [end, error] = std::from_chars(inode.data(), inode.data() + inode.size(), inodeNumber, 10);
    return !inode.empty() && error == std::errc() && end == inode.data() + inode.size();
}

bool ParseLine6(Protocol protocol, std::string_view line, ListedRow<MIB_TCP6ROW>& out)
{
    LineFields fields;
    MIB_TCP6ROW row{};
    std::uint32_t remotePort;
    unsigned linuxState;
    if (!SplitLine(line, fields, out.inode) ||
        !ParseEndpoint6(fields.local, row.LocalAddr, row.dwLocalPort) ||
        !ParseEndpoint6(fields.remote, row.RemoteAddr, remotePort) ||
        !ParseHex(fields.state, linuxState))
        return false;
    if (protocol == Protocol::Tcp) {
        row.State = MibStateFromLinux(linuxState);
        if (row.State == 0)
            return false;
        row.dwRemotePort = remotePort;
    } else {
        std::memset(row.RemoteAddr, 0, sizeof row.RemoteAddr);
    }
    out.row = row;
    return true;
}

bool ParseLine(Protocol protocol, std::string_view line, ListedRow<MIB_TCPROW>& out)
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
    if (!ParseEndpoint(local, true, row.dwLocalAddr, row.dwLocalPort) ||
        !ParseEndpoint(remote, false, remoteAddr, remotePort) || !ParseHex(state, linuxState))
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

namespace {

// The rows of the lines that `parse` reads, the header line skipped, each
// socket once.
template <typename Row, typename Parse>
void ParseTable(const std::string& text, std::vector<Row>& rows, Parse parse)
{
    rows.clear();
    std::vector<ListedRow<Row>> listed;
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
        ListedRow<Row> entry;
        if (parse(line, entry))
            listed.push_back(entry);
    }

    // Inode 0 marks sockets without a file (TIME_WAIT, half-open): never duplicates.
    std::stable_sort(
        listed.begin(), listed.end(),
        [](const ListedRow<Row>& a, const ListedRow<Row>& b) { return a.inode < b.inode; });
    rows.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        if (i > 0 && listed[i].inode != 0 && listed[i].inode == listed[i - 1].inode)
            continue;
        rows.push_back(listed[i].row);
    }
}

} // namespace

void ParseProcNet(Protocol protocol, const std::string& text, EndpointRows& rows)
{
    ParseTable(text, rows, [protocol](std::string_view line, ListedRow<MIB_TCPROW>& entry) {
        return ParseLine(protocol, line, entry);
    });
}

void ParseProcNet6(Protocol protocol, const std::string& text, Endpoint6Rows& rows)
{
    ParseTable(text, rows, [protocol](std::string_view line, ListedRow<MIB_TCP6ROW>& entry) {
        return ParseLine6(protocol, line, entry);
    });
}

namespace {

const char* ProcNetPath(Protocol protocol, bool ipv6)
{
    if (protocol == Protocol::Tcp)
        return ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp";
    return ipv6 ? "/proc/net/udp6" : "/proc/net/udp";
}

// Appends the whole file at `path` to `text`.
int AppendFile(const char* path, std::string& text)
{
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errno;
    char chunk[16384];
    ssize_t got;
    while ((got = ReadAll(fd.Get(), chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    return got < 0 ? errno : 0;
}

} // namespace

int ReadProcNet(Protocol protocol, std::string& text, EndpointRows& rows)
{
    rows.clear();
    text.clear();
    if (int error = AppendFile(ProcNetPath(protocol, false), text); error != 0)
        return error;
    // The IPv6 table's header line is no row; a kernel without IPv6 has no such file.
    if (int error = AppendFile(ProcNetPath(protocol, true), text); error != 0 && error != ENOENT)
        return error;
    ParseProcNet(protocol, text, rows);
    return 0;
}

int ReadProcNet6(Protocol protocol, std::string& text, Endpoint6Rows& rows)
{
    rows.clear();
    text.clear();
    if (int error = AppendFile(ProcNetPath(protocol, true), text); error != 0)
        return error == ENOENT ? 0 : error;
    ParseProcNet6(protocol, text, rows);
    return 0;
}

} // namespace iphelper
