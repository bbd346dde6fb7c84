// The list refill with a full table (4095 rows), names off and names on (all
// cached): the whole refill as the scan thread sees it, and how long the
// user-interface thread is held, in the hand-over and in all its event work.
// Then the scan step with a table that changes at each period, with the view
// plain and with a line selected, a filter set and a column sorted.
#include <benchmark/benchmark.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QTreeView>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "monitor/host_cache.h"
#include "platform/module_loader.h"
#include "settings/prop.h"
#include "tests/fake_iphlpapi/fake_control.h"
#include "tests/support/offscreen_session.h"
#include "ui/main_dlg.h"

namespace {

using Clock = std::chrono::steady_clock;

// Times the events that the user-interface thread delivers: all of them, and
// the queued calls to the main window, which on this path are the hand-overs.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;

    QObject* handOverTarget = nullptr;
    double busySeconds = 0;
    double handOverSeconds = 0;
    double longestHandOver = 0;

    void ResetTimes() { busySeconds = handOverSeconds = longestHandOver = 0; }

    bool notify(QObject* receiver, QEvent* e) override
    {
        if (depth > 0) {
            ++depth;
            bool result = QApplication::notify(receiver, e);
            --depth;
            return result;
        }
        ++depth;
        auto start = Clock::now();
        bool result = QApplication::notify(receiver, e);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        --depth;
        busySeconds += seconds;
        if (receiver == handOverTarget && e->type() == QEvent::MetaCall) {
            handOverSeconds += seconds;
            longestHandOver = std::max(longestHandOver, seconds);
        }
        return result;
    }

private:
    int depth = 0;
};

TimedApplication* app = nullptr;

template <typename Fn> Fn Proc(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::uint32_t RemoteAddress(std::uint32_t i)
{
    return htonl(0x0A000000u | (i + 1));
}

// A window with a full table in its current buffer and no scan thread.
class FullTableWindow {
public:
    FullTableWindow()
    {
        HMODULE module = LoadLibraryFromDirectory(BENCH_IPHLPAPI_DIR, "iphlpapi.dll");
        if (module == nullptr) {
            std::fprintf(stderr, "no test IP helper library in %s\n", BENCH_IPHLPAPI_DIR);
            std::exit(2);
        }
        setTcp = Proc<decltype(&FakeSetTcpRows)>(module, "FakeSetTcpRows");
        setUdp = Proc<decltype(&FakeSetUdpRows)>(module, "FakeSetUdpRows");
        auto fail = Proc<decltype(&FakeSetFailure)>(module, "FakeSetFailure");
        setTcp6 = Proc<decltype(&FakeSetTcp6Rows)>(module, "FakeSetTcp6Rows");
        setUdp6 = Proc<decltype(&FakeSetUdp6Rows)>(module, "FakeSetUdp6Rows");

        oProp.SetDefaults();
        oProp.SetLogEnabled(0);
        oProp.Save();

        // Start-up without a first snapshot, so no scan thread runs; the
        // missing notification area's report is answered at once.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Ok)->click();
        });
        answer.start(5);
        fail(31);
        dialog.SetIpHelperDirectory(BENCH_IPHLPAPI_DIR);
        dialog.OnInitDialog();
        answer.stop();
        fail(0);

        // The system tables hold at most 64 KiB each: 3276 TCP rows, then UDP rows
        // up to the snapshot's 4095.
        for (std::uint32_t i = 0; i < 3276; ++i)
            tcp.push_back({5, inet_addr("127.0.0.1"), htons(static_cast<std::uint16_t>(30000 + i)),
                           RemoteAddress(i), htons(443)});
        for (std::uint32_t i = 0; i < kConnTableMaxRows - 3276; ++i)
            udp.push_back({inet_addr("0.0.0.0"), htons(static_cast<std::uint16_t>(20000 + i))});
        setTcp(tcp.data(), static_cast<std::uint32_t>(tcp.size()));
        setUdp(udp.data(), static_cast<std::uint32_t>(udp.size()));
        for (std::uint32_t i = 0; i < tcp.size(); ++i) {
            std::string name = "host-" + std::to_string(i) + ".bench.test";
            hostCache.SetName(RemoteAddress(i), name.c_str());
        }

        // A difference, then an equal snapshot into the other buffer: both hold the table.
        dialog.ScanOnce();
        dialog.ScanOnce();
        dialog.show();
        QCoreApplication::processEvents();
        app->handOverTarget = &dialog;
    }

    // Adds `count` IPv6 rows after the full IPv4 table, or takes them away
    // again with 0: 70 % connections to distinct peers, the rest UDP listeners.
    void SetIpv6Rows(std::uint32_t count)
    {
        std::vector<MIB_TCP6ROW> tcp6(count * 7 / 10);
        for (std::uint32_t i = 0; i < tcp6.size(); ++i) {
            MIB_TCP6ROW& row = tcp6[i];
            row.State = 5;
            inet_pton(AF_INET6, "2001:db8:0:1::5", row.LocalAddr);
            row.dwLocalPort = htons(static_cast<std::uint16_t>(40000 + i));
            inet_pton(AF_INET6, "2606:4700:4700::1111", row.RemoteAddr);
            row.RemoteAddr[12] = static_cast<std::uint8_t>(i >> 8);
            row.RemoteAddr[13] = static_cast<std::uint8_t>(i);
            row.dwRemotePort = htons(443);
        }
        std::vector<MIB_UDP6ROW> udp6(count - tcp6.size());
        for (std::uint32_t i = 0; i < udp6.size(); ++i)
            udp6[i].dwLocalPort = htons(static_cast<std::uint16_t>(20000 + i));
        setTcp6(tcp6.data(), static_cast<std::uint32_t>(tcp6.size()));
        setUdp6(udp6.data(), static_cast<std::uint32_t>(udp6.size()));
        oProp.SetScanIpv6(count != 0 ? 1 : 0);
        dialog.ScanOnce();
        dialog.ScanOnce();
        QCoreApplication::processEvents();
    }

    // The table of a busy period: two connections changed state and one
    // in the middle was replaced by another; `changed` false gives the full table.
    void SetTables(bool changed)
    {
        std::vector<MIB_TCPROW> rows = tcp;
        if (changed) {
            rows.front().dwState = rows.back().dwState = 8;
            rows[rows.size() / 2].dwRemotePort = htons(8443);
        }
        setTcp(rows.data(), static_cast<std::uint32_t>(rows.size()));
        setUdp(udp.data(), static_cast<std::uint32_t>(udp.size()));
    }

    CMainDlg dialog;
    decltype(&FakeSetTcpRows) setTcp = nullptr;
    decltype(&FakeSetUdpRows) setUdp = nullptr;
    std::vector<MIB_TCPROW> tcp;
    std::vector<MIB_UDPROW> udp;
    decltype(&FakeSetTcp6Rows) setTcp6 = nullptr;
    decltype(&FakeSetUdp6Rows) setUdp6 = nullptr;
};

FullTableWindow* window = nullptr;

// `changing`: each iteration is a scan step with the other of two tables.
void RefreshFromScanThread(benchmark::State& state, int showHost, bool changing = false)
{
    oProp.SetShowHost(showHost);
    bool changed = false;
    double longest = 0;
    double handOver = 0;
    double busy = 0;
    for (auto _ : state) {
        if (changing) {
            changed = !changed;
            window->SetTables(changed);
        }
        app->ResetTimes();
        double seconds = 0;
        QEventLoop loop;
        std::thread scan([&] {
            auto start = Clock::now();
            if (changing)
                window->dialog.ScanOnce();
            else
                window->dialog.RefreshList();
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
            QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
        });
        loop.exec();
        scan.join();
        // The view's layout and painting of the new lines.
        QCoreApplication::processEvents();
        state.SetIterationTime(seconds);
        longest = std::max(longest, app->longestHandOver);
        handOver += app->handOverSeconds;
        busy += app->busySeconds;
    }
    double n = static_cast<double>(state.iterations());
    state.counters["rows"] = window->dialog.findChild<QAbstractItemModel*>()->rowCount();
    state.counters["handover_ms"] = handOver / n * 1000;
    state.counters["handover_max_ms"] = longest * 1000;
    state.counters["ui_busy_ms"] = busy / n * 1000;
}

void BM_RefreshList_NamesOff(benchmark::State& state)
{
    RefreshFromScanThread(state, 0);
}

void BM_RefreshList_NamesOnCached(benchmark::State& state)
{
    RefreshFromScanThread(state, 1);
}

// The full IPv4 table and 1000 IPv6 rows after it, numeric.
void BM_RefreshList_WithIpv6(benchmark::State& state)
{
    window->SetIpv6Rows(1000);
    RefreshFromScanThread(state, 0);
    window->SetIpv6Rows(0);
}

void BM_RefreshList_Changing(benchmark::State& state)
{
    RefreshFromScanThread(state, 0, true);
    window->SetTables(false);
    window->dialog.ScanOnce();
}

// A line selected and one on top to keep, a filter that every line passes
// and the remote column sorted, descending.
void BM_RefreshList_ChangingKeptFilteredSorted(benchmark::State& state)
{
    CMainDlg& dialog = window->dialog;
    auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
    auto* filter = dialog.findChild<QLineEdit*>("IDC_FILTER");
    for (QAction* action : dialog.actions())
        if (action->text() == QStringLiteral("Filter..."))
            action->trigger();
    filter->setText(QStringLiteral(":"));
    list->sortByColumn(2, Qt::DescendingOrder);
    list->setCurrentIndex(list->model()->index(1500, 1));
    list->scrollTo(list->model()->index(1000, 0), QAbstractItemView::PositionAtTop);
    QCoreApplication::processEvents();
    RefreshFromScanThread(state, 0, true);
    filter->clear();
    list->sortByColumn(-1, Qt::AscendingOrder);
    window->SetTables(false);
    dialog.ScanOnce();
}

// The start-up refill, on the user-interface thread itself.
void BM_RefreshList_OnUiThread(benchmark::State& state)
{
    oProp.SetShowHost(0);
    for (auto _ : state) {
        window->dialog.RefreshList();
        QCoreApplication::processEvents();
    }
}

BENCHMARK(BM_RefreshList_NamesOff)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshList_NamesOnCached)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshList_Changing)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshList_ChangingKeptFilteredSorted)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshList_OnUiThread)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshList_WithIpv6)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    OffscreenSession session("bench", argc, argv);
    if (!session.Ready())
        return 2;
    TimedApplication application(argc, argv);
    app = &application;
    benchmark::Initialize(&argc, argv);
    {
        FullTableWindow full;
        window = &full;
        benchmark::RunSpecifiedBenchmarks();
        window = nullptr;
    }
    benchmark::Shutdown();
    app = nullptr;
    return 0;
}
