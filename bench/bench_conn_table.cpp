#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "monitor/conn_table.h"
#include "platform/win_types.h"
#include "settings/prop.h"
#include "tests/support/network_namespace.h"

namespace {

// 4000 AF_INET sockets and 1000 dual-stack AF_INET6 ones. TCP: 200 listeners
// and 1300 connections (both ends), then 100 listeners on :: and 150
// v4-mapped connections, 3200 rows and 64004 bytes of system table: under
// the 64 KiB that one snapshot accepts. UDP: 1200 and 600 sockets; the
// snapshot keeps the first 895 of those, its last rows.
constexpr int kListeners = 200;
constexpr int kConnections = 1300;
constexpr int kUdpSockets = 1200;
constexpr int kDualStackListeners = 100;
constexpr int kDualStackConnections = 150;
constexpr int kDualStackUdpSockets = 600;
// For the IPv6 table only, opened once its benchmarks start so that the IPv4
// figures keep their socket set: 100 listeners and 500 connections on ::1,
// which with the dual-stack listeners make 1200 IPv6 rows of 1500 AF_INET6
// TCP sockets.
constexpr int kIpv6Listeners = 100;
constexpr int kIpv6Connections = 500;

std::vector<int> openSockets;

sockaddr_in Endpoint(const char* dotted, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

sockaddr_in6 Endpoint6(const char* text, std::uint16_t port)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    address.sin6_port = htons(port);
    return address;
}

void RaiseFileLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t wanted = 4 * (kListeners + 2 * kConnections + kUdpSockets + kDualStackListeners +
                               2 * kDualStackConnections + kDualStackUdpSockets + kIpv6Listeners +
                               2 * kIpv6Connections);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

template <typename Address> int Opened(int family, int type, const Address& local)
{
    const int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    openSockets.push_back(fd);
    const int off = 0;
    if (family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    return bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? fd : -1;
}

// `listeners` listening sockets and `connections` connections to them, from
// clients of the same family.
template <typename Address>
bool OpenTcp(int family, int listeners, int connections,
             Address (*endpoint)(const char*, std::uint16_t), const char* listenOn,
             const char* connectTo, std::uint16_t firstPort)
{
    std::vector<int> listening;
    for (int i = 0; i < listeners; ++i) {
        const int fd = Opened(family, SOCK_STREAM,
                              endpoint(listenOn, static_cast<std::uint16_t>(firstPort + i)));
        if (fd < 0 || listen(fd, 64) != 0)
            return false;
        listening.push_back(fd);
    }
    for (int i = 0; i < connections; ++i) {
        const int client = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const Address remote =
            endpoint(connectTo, static_cast<std::uint16_t>(firstPort + i % listeners));
        if (client < 0)
            return false;
        openSockets.push_back(client);
        if (connect(client, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0)
            return false;
        const int server = accept(listening[i % listeners], nullptr, nullptr);
        if (server < 0)
            return false;
        openSockets.push_back(server);
    }
    return true;
}

bool OpenEndpoints()
{
    if (!OpenTcp(AF_INET, kListeners, kConnections, Endpoint, "127.0.1.1", "127.0.1.1", 10000) ||
        !OpenTcp(AF_INET6, kDualStackListeners, kDualStackConnections, Endpoint6,
                 "::", "::ffff:127.0.3.1", 30000))
        return false;
    for (int i = 0; i < kUdpSockets; ++i)
        if (Opened(AF_INET, SOCK_DGRAM,
                   Endpoint("127.0.2.1", static_cast<std::uint16_t>(20000 + i))) < 0)
            return false;
    for (int i = 0; i < kDualStackUdpSockets; ++i)
        if (Opened(AF_INET6, SOCK_DGRAM, Endpoint6("::", static_cast<std::uint16_t>(40000 + i))) <
            0)
            return false;
    return true;
}

bool OpenIpv6Endpoints()
{
    static const bool opened =
        OpenTcp(AF_INET6, kIpv6Listeners, kIpv6Connections, Endpoint6, "::1", "::1", 50000);
    return opened;
}

void BM_GetConnectionTable(benchmark::State& state)
{
    g_pGetTcpTable = GetTcpTable;
    g_pGetUdpTable = GetUdpTable;
    oProp.SetScanTcp(1);
    oProp.SetScanUdp(1);
    std::vector<unsigned char> buffer(kConnTableBytes);
    auto* table = reinterpret_cast<CONN_TABLE*>(buffer.data());
    for (auto _ : state) {
        if (GetConnectionTable(table) != 1) {
            state.SkipWithError("GetConnectionTable failed");
            break;
        }
        benchmark::DoNotOptimize(table->count);
    }
    state.counters["rows"] = table->count;
}

// The floor: one sock_diag dump per protocol and family on a socket kept
// open, as the library keeps its own, every datagram received and its
// messages walked, nothing parsed or kept.
std::size_t RawDump(int fd, int family, int protocol, std::uint32_t sequence,
                    std::vector<char>& receive)
{
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    message.request.idiag_states = 0x1FFE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    std::size_t messages = 0;
    for (bool done = false; !done;) {
        ssize_t length = recv(fd, receive.data(), receive.size(), 0);
        if (length <= 0)
            break;
        int remaining = static_cast<int>(length);
        for (auto* header = reinterpret_cast<nlmsghdr*>(receive.data());
             NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            ++messages;
        }
    }
    return messages;
}

// The dumps of `families` by `protocols`, each in turn, as one measurement.
void RawDumps(benchmark::State& state, std::initializer_list<int> families,
              std::initializer_list<int> protocols)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        state.SkipWithError("no sock_diag socket");
        return;
    }
    std::vector<char> receive(64 * 1024);
    std::uint32_t sequence = 0;
    std::size_t rows = 0;
    for (auto _ : state) {
        rows = 0;
        for (int family : families)
            for (int protocol : protocols)
                rows += RawDump(fd, family, protocol, ++sequence, receive);
        benchmark::DoNotOptimize(rows);
    }
    close(fd);
    state.counters["rows"] = static_cast<double>(rows);
}

void BM_SockDiagRawDump(benchmark::State& state)
{
    RawDumps(state, {AF_INET, AF_INET6}, {IPPROTO_TCP, IPPROTO_UDP});
}

// The size query and the read, sorted, as a snapshot asks for the table.
void BM_GetTcp6Table(benchmark::State& state)
{
    if (!OpenIpv6Endpoints()) {
        state.SkipWithError("the IPv6 sockets could not be opened");
        return;
    }
    std::vector<unsigned char> buffer;
    std::uint32_t rows = 0;
    for (auto _ : state) {
        std::uint32_t size = 0;
        if (GetTcp6Table(nullptr, &size, 1) != ERROR_INSUFFICIENT_BUFFER) {
            state.SkipWithError("the size query failed");
            break;
        }
        // Grown once; later periods reuse it, as a snapshot reuses its scratch.
        if (buffer.size() < size)
            buffer.resize(size);
        auto* table = reinterpret_cast<MIB_TCP6TABLE*>(buffer.data());
        if (GetTcp6Table(table, &size, 1) != NO_ERROR) {
            state.SkipWithError("GetTcp6Table failed");
            break;
        }
        rows = table->dwNumEntries;
        benchmark::DoNotOptimize(rows);
    }
    state.counters["rows"] = rows;
}

// Its floor: one AF_INET6 TCP dump.
void BM_SockDiagRawDump6(benchmark::State& state)
{
    if (!OpenIpv6Endpoints()) {
        state.SkipWithError("the IPv6 sockets could not be opened");
        return;
    }
    RawDumps(state, {AF_INET6}, {IPPROTO_TCP});
}

struct ParsedRow {
    unsigned localAddr, localPort, remoteAddr, remotePort, state;
    unsigned long inode;
};

// What netstat-style tools do: the text tables, a line at a time, through
// scanf; of an IPv6 address, the last word is kept.
std::size_t ParseProcFile(const char* path, bool ipv6, std::vector<ParsedRow>& rows)
{
    const char* format = ipv6 ? "%*d: %*8X%*8X%*8X%8X:%X %*8X%*8X%*8X%8X:%X %X %*X:%*X %*X:%*X "
                                "%*X %*u %*d %lu"
                              : "%*d: %X:%X %X:%X %X %*X:%*X %*X:%*X %*X %*u %*d %lu";
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return 0;
    char line[512];
    std::fgets(line, sizeof line, file);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        ParsedRow row{};
        if (std::sscanf(line, format, &row.localAddr, &row.localPort, &row.remoteAddr,
                        &row.remotePort, &row.state, &row.inode) == 6)
            rows.push_back(row);
    }
    std::fclose(file);
    return rows.size();
}

void BM_ProcNetParse(benchmark::State& state)
{
    std::vector<ParsedRow> rows;
    rows.reserve(8192);
    for (auto _ : state) {
        rows.clear();
        ParseProcFile("/proc/net/tcp", false, rows);
        ParseProcFile("/proc/net/udp", false, rows);
        ParseProcFile("/proc/net/tcp6", true, rows);
        ParseProcFile("/proc/net/udp6", true, rows);
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

// Each measured in microseconds of wall time, nine times, as its median.
void Repeated(benchmark::internal::Benchmark* run)
{
    run->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_GetConnectionTable)->Apply(Repeated);
BENCHMARK(BM_SockDiagRawDump)->Apply(Repeated);
BENCHMARK(BM_ProcNetParse)->Apply(Repeated);
BENCHMARK(BM_GetTcp6Table)->Apply(Repeated);
BENCHMARK(BM_SockDiagRawDump6)->Apply(Repeated);

// Prints the snapshot's median against the two baselines after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.aggregate_name == "median") {
                realMedians[run.run_name.function_name] = run.GetAdjustedRealTime();
                cpuMedians[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }

    // Wall time suffers from other loads on a busy machine; the kernel's work
    // is done in the calling thread, so CPU time is the steadier figure.
    void PrintRatios() const
    {
        PrintRatios("wall", realMedians);
        PrintRatios("cpu", cpuMedians);
    }

private:
    static void PrintRatios(const char* clock, const std::map<std::string, double>& medians)
    {
        auto find = [&medians](const char* name) {
            auto it = medians.find(name);
            return it == medians.end() ? 0.0 : it->second;
        };
        const double snapshot = find("BM_GetConnectionTable");
        const double floor = find("BM_SockDiagRawDump");
        const double proc = find("BM_ProcNetParse");
        if (snapshot > 0 && floor > 0 && proc > 0)
            std::printf("%s medians: snapshot / raw dump %.2fx (target <= 1.5x), /proc parse / "
                        "snapshot %.2fx (target >= 3x)\n",
                        clock, snapshot / floor, proc / snapshot);
        const double table6 = find("BM_GetTcp6Table");
        const double floor6 = find("BM_SockDiagRawDump6");
        if (table6 > 0 && floor6 > 0)
            std::printf("%s medians: GetTcp6Table / raw AF_INET6 dump %.2fx (target <= 1.5x)\n",
                        clock, table6 / floor6);
    }

    std::map<std::string, double> realMedians;
    std::map<std::string, double> cpuMedians;
};

} // namespace

int main(int argc, char** argv)
{
    RaiseFileLimit();
    const bool isolated = EnterPrivateNetwork().empty();
    std::printf("%s\n", isolated
                            ? "sockets in a private network namespace"
                            : "no private namespace: the machine's own sockets are counted too");
    if (!OpenEndpoints()) {
        std::perror("opening the benchmark's sockets");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    for (int fd : openSockets)
        close(fd);
    return 0;
}
