#include <QAbstractItemModel>
#include <QKeyEvent>
#include <QTreeView>

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/last_error.h"
#include "tests/ui_test_support.h"
#include "ui/api_error_text.h"
#include "ui/shutdown_signals.h"

using namespace uitest;

namespace {

QAbstractItemModel* ListModel(CMainDlg& dialog)
{
    auto* list = dialog.findChild<QTreeView*>(QStringLiteral("IDC_CONN_LIST"));
    return list != nullptr ? list->model() : nullptr;
}

std::string ExpectedReport(const char* api, int code)
{
    return std::string("ERROR: API        = ") + api +
           "\n       error code = " + std::to_string(code) +
           "\n       message    = " + std::strerror(code) + "\n";
}

// What the scan thread's snapshot hook does; set by each test.
std::atomic<int> scanSnapshots{0};
std::function<void()> onScanSnapshot;

// Counts snapshots taken off the user-interface thread, that is by the scan thread.
void ScanSnapshotHook()
{
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        return;
    int number = ++scanSnapshots;
    if (number == 1 && onScanSnapshot)
        onScanSnapshot();
}

class MainDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.Loaded()) << "test library missing in " << FAKE_IPHLPAPI_DIR;
        fake.Reset();
        fake.SetRows(
            {Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0), Tcp(5, "127.0.0.1", 40000, "127.0.0.1", 22)},
            {Udp("127.0.0.1", 323)});
        scanSnapshots = 0;
        onScanSnapshot = nullptr;
        fake.SetHook(&ScanSnapshotHook);
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    }
    void TearDown() override
    {
        fake.Reset();
        onScanSnapshot = nullptr;
    }

    FakeIpHelper fake;
    BoxWatcher watcher;
    CMainDlg dialog;
};

using StartupTest = MainDlgTest;

TEST_F(StartupTest, MissingLibraryEndsTheProgramAfterTheLoadLibraryReport)
{
    std::filesystem::path empty = std::filesystem::current_path() / "no-ip-helper";
    std::filesystem::create_directories(empty);
    dialog.SetIpHelperDirectory(empty.string());

    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_FALSE(dialog.IsScanning());
    ASSERT_EQ(watcher.boxes.size(), 1u);
    const BoxRecord& box = watcher.boxes[0];
    EXPECT_EQ(box.text.toStdString(), ExpectedReport("LoadLibrary", ENOENT));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.title, QCoreApplication::applicationName());
}

TEST_F(StartupTest, LibraryWithoutUdpTableEndsTheProgramAfterGetProcAddress)
{
    dialog.SetIpHelperDirectory(TCP_ONLY_IPHLPAPI_DIR);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_TRUE(
        watcher.boxes[0].text.startsWith(QStringLiteral("ERROR: API        = GetProcAddress\n")));
}

TEST_F(StartupTest, FailedFirstSnapshotLeavesAnEmptyListAndNoScanThread)
{
    fake.Fail(31);
    EXPECT_FALSE(dialog.OnInitDialog());

    std::vector<BoxRecord> reports = watcher.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(
        reports[0].text.startsWith(QStringLiteral("ERROR: API        = GetConnectionTable\n")));
    EXPECT_FALSE(dialog.IsScanning());
    EXPECT_FALSE(dialog.IsEnded());
    QAbstractItemModel* model = ListModel(dialog);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->rowCount(), 0);
    ASSERT_EQ(model->columnCount(), 4);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Protocol"));
    EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString(), QStringLiteral("State"));

    // The window stays and closes normally.
    dialog.OnOK();
    EXPECT_TRUE(dialog.IsEnded());
}

TEST_F(StartupTest, SuccessfulStartFillsTheListAndStartsScanning)
{
    ASSERT_TRUE(dialog.OnInitDialog());
    EXPECT_TRUE(dialog.IsScanning());
    EXPECT_EQ(ListModel(dialog)->rowCount(), 3);
    EXPECT_TRUE(WaitUntil([] { return scanSnapshots >= 2; }));
    // A second close (a signal after the tray's "Close") changes nothing.
    dialog.OnOK();
    dialog.OnOK();
    EXPECT_TRUE(WaitForEnd(dialog));
    EXPECT_FALSE(dialog.IsScanning());
    dialog.OnOK();
    EXPECT_TRUE(watcher.Reports().empty());
}

TEST_F(StartupTest, CloseBoxAndEscOnlyHideTheWindow)
{
    dialog.show();
    dialog.close();
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_FALSE(dialog.IsEnded());

    dialog.show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &escape);
    EXPECT_TRUE(dialog.isHidden());
    EXPECT_FALSE(dialog.IsEnded());
}

using ShutdownTest = MainDlgTest;

// The rows of the last dump in the log: the lines after its last stamp.
std::vector<std::string> LastDump(const char* logName)
{
    std::ifstream log(logName);
    std::vector<std::string> rows;
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("<<", 0) == 0)
            rows.clear();
        else if (line.rfind("TCP|", 0) == 0 || line.rfind("UDP|", 0) == 0)
            rows.push_back(line);
    }
    return rows;
}

TEST_F(ShutdownTest, OnOKDuringARefillLetsTheStepFinish)
{
    StoreSettings(100);
    oProp.SetLogEnabled(1);
    oProp.SetLogFileName("refill.log");
    oProp.Save();
    onScanSnapshot = [this] {
        // The close arrives while this step is still to refill the list.
        QMetaObject::invokeMethod(
            &dialog, [this] { dialog.OnOK(); }, Qt::QueuedConnection);
        fake.SetRows({Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0)}, {});
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_FALSE(dialog.IsScanning());
    EXPECT_EQ(ListModel(dialog)->rowCount(), 1);
    EXPECT_TRUE(watcher.Reports().empty());
    // The step's dump still had its table.
    std::vector<std::string> dumped = LastDump("refill.log");
    ASSERT_EQ(dumped.size(), 1u);
    EXPECT_NE(dumped[0].find("LISTEN"), std::string::npos);
}

TEST_F(ShutdownTest, OnOKFromAnOpenErrorBoxEndsWithoutAnotherBox)
{
    onScanSnapshot = [this] { fake.Fail(31); };
    watcher.onBox = [this](QMessageBox* box) {
        if (box->text().startsWith(QStringLiteral("ERROR: API        = GetConnectionTable")))
            dialog.OnOK();
        else
            box->button(QMessageBox::Ok)->click();
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_FALSE(dialog.IsScanning());
    EXPECT_EQ(watcher.Reports().size(), 1u);
}

TEST_F(ShutdownTest, SignalWhileAnErrorBoxIsOpenTakesTheClosePath)
{
    CShutdownSignals shutdownSignals;
    ASSERT_TRUE(shutdownSignals.Install([this] {
        dialog.AddStatusIcon(NIM_DELETE);
        dialog.OnOK();
    }));
    onScanSnapshot = [this] { fake.Fail(31); };
    watcher.onBox = [](QMessageBox* box) {
        if (box->text().startsWith(QStringLiteral("ERROR: API        = GetConnectionTable")))
            std::raise(SIGTERM);
        else
            box->button(QMessageBox::Ok)->click();
    };
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_EQ(watcher.Reports().size(), 1u);
}

TEST_F(ShutdownTest, OnOKDuringALongWaitEndsTheWaitEarly)
{
    StoreSettings(10000);
    QTimer trigger;
    trigger.setInterval(10);
    QObject::connect(&trigger, &QTimer::timeout, [&] {
        if (scanSnapshots >= 1) {
            trigger.stop();
            // Time for the step to finish, so the thread sits in its wait.
            QTimer::singleShot(200, &dialog, [this] { dialog.OnOK(); });
        }
    });
    trigger.start();
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_EQ(scanSnapshots, 1);
}

TEST_F(ShutdownTest, DestroyingARunningWindowStopsItsThread)
{
    auto running = std::make_unique<CMainDlg>();
    running->SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    ASSERT_TRUE(running->OnInitDialog());
    EXPECT_TRUE(WaitUntil([] { return scanSnapshots >= 1; }));
    running.reset();
}

class ErrorReportTest : public ::testing::Test {
protected:
    BoxWatcher watcher;
    CMainDlg dialog;
};

TEST_F(ErrorReportTest, BoxForLastError5HidesTheWindowAfterOK)
{
    dialog.show();
    SetLastError(5);
    dialog.ReportApiError("GetConnectionTable");

    ASSERT_EQ(watcher.boxes.size(), 1u);
    const BoxRecord& box = watcher.boxes[0];
    EXPECT_EQ(box.text.toStdString(), ExpectedReport("GetConnectionTable", 5));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.title, QCoreApplication::applicationName());
    EXPECT_TRUE(dialog.isHidden());
}

TEST_F(ErrorReportTest, BoxForLastError0)
{
    SetLastError(0);
    dialog.ReportApiError("AddStatusIcon");
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text.toStdString(), ExpectedReport("AddStatusIcon", 0));
}

TEST_F(ErrorReportTest, ErrorOfTheCallingThreadIsReported)
{
    std::atomic<bool> done{false};
    SetLastError(13);
    std::thread scan([&] {
        SetLastError(5);
        dialog.ReportApiError("GetConnectionTable");
        done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    scan.join();
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].text.toStdString(), ExpectedReport("GetConnectionTable", 5));
}

TEST_F(ErrorReportTest, LongTextsAreCutToTheirLinesKeepingTheLineBreaks)
{
    std::string api(600, 'A');
    char text[kApiErrorTextSize];
    std::memset(text, 'x', sizeof text);
    FormatApiErrorText(api.c_str(), -2147483647 - 1, text, sizeof text);

    std::string report(text);
    ASSERT_LT(report.size(), kApiErrorTextSize);
    std::size_t first = report.find('\n');
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(first + 1, kApiErrorLineSize - 1);
    EXPECT_EQ(report.substr(first + 1, 32), "       error code = -2147483648\n");
    EXPECT_EQ(report.back(), '\n');
}

TEST_F(ErrorReportTest, LogOpenFailureShowsAPlainBox)
{
    oProp.SetLogEnabled(1);
    ASSERT_TRUE(oProp.SetLogFileName("/nonexistent-folder/quillon.log"));
    unsigned char bytes[64] = {};
    dialog.DumpToLogFile(reinterpret_cast<CONN_TABLE*>(bytes));
    oProp.SetDefaults();

    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(watcher.boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(watcher.boxes[0].title, QCoreApplication::applicationName());
}

} // namespace
