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
#include <map>
#include <string>
#include <vector>

#include "monitor/conn_table.h"
#include "settings/prop.h"
#include "tests/support/network_namespace.h"

namespace {

// 200 listeners and 1400 connections (both ends) are 3000 TCP rows, 60004
// bytes of system table: under the 64 KiB that one snapshot accepts.
constexpr int kListeners = 200;
constexpr int kConnections = 1400;
constexpr int kUdpSockets = 1000;

std::vector<int> openSockets;

sockaddr_in Endpoint(const char* dotted, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

void RaiseFileLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t wanted = 4 * (kListeners + 2 * kConnections + kUdpSockets);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool OpenEndpoints()
{
    std::vector<int> listeners;
    for (int i = 0; i < kListeners; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = Endpoint("127.0.1.1", static_cast<std::uint16_t>(10000 + i));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            listen(fd, 64) != 0)
            return false;
        listeners.push_back(fd);
        openSockets.push_back(fd);
    }
    for (int i = 0; i < kConnections; ++i) {
        int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in remote =
            Endpoint("127.0.1.1", static_cast<std::uint16_t>(10000 + i % kListeners));
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
            return false;
        int server = accept(listeners[i % kListeners], nullptr, nullptr);
        if (server < 0)
            return false;
        openSockets.push_back(client);
        openSockets.push_back(server);
    }
    for (int i = 0; i < kUdpSockets; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = Endpoint("127.0.2.1", static_cast<std::uint16_t>(20000 + i));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return false;
        openSockets.push_back(fd);
    }
    return true;
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

// The floor: one sock_diag dump per protocol on a socket kept open, as the
// library keeps its own, every datagram received and its messages walked,
// nothing parsed or kept.
std::size_t RawDump(int fd, int protocol, std::uint32_t sequence, std::vector<char>& receive)
{
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = AF_INET;
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

void BM_SockDiagRawDump(benchmark::State& state)
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
        rows = RawDump(fd, IPPROTO_TCP, ++sequence, receive);
        rows += RawDump(fd, IPPROTO_UDP, ++sequence, receive);
        benchmark::DoNotOptimize(rows);
    }
    close(fd);
    state.counters["rows"] = static_cast<double>(rows);
}

struct ParsedRow {
    unsigned localAddr, localPort, remoteAddr, remotePort, state;
    unsigned long inode;
};

// What netstat-style tools do: the text tables, a line at a time, through scanf.
std::size_t ParseProcFile(const char* path, std::vector<ParsedRow>& rows)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return 0;
    char line[512];
    std::fgets(line, sizeof line, file);
    while (std::fgets(line, sizeof line, file) != nullptr) {
        ParsedRow row{};
        if (std::sscanf(line, "%*d: %X:%X %X:%X %X %*X:%*X %*X:%*X %*X %*u %*d %lu", &row.localAddr,
                        &row.localPort, &row.remoteAddr, &row.remotePort, &row.state,
                        &row.inode) == 6)
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
        ParseProcFile("/proc/net/tcp", rows);
        ParseProcFile("/proc/net/udp", rows);
        benchmark::DoNotOptimize(rows.data());
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

BENCHMARK(BM_GetConnectionTable)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SockDiagRawDump)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ProcNetParse)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

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
