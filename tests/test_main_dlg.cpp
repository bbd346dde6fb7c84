#include <QLineEdit>
#include <QThread>
#include <QTreeView>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "platform/last_error.h"
#include "tests/ui_test_support.h"
#include "ui/prop_dlg.h"

using namespace uitest;

namespace {

void ExpectErrorBox(const BoxRecord& box, const char* api, int code)
{
    std::string text = std::string("ERROR: API        = ") + api +
                       "\n       error code = " + std::to_string(code) +
                       "\n       message    = " + std::strerror(code) + "\n";
    EXPECT_EQ(box.text.toStdString(), text);
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.title, QCoreApplication::applicationName());
}

TEST(MainDlgReport, ErrorBoxShowsTheCallTheCodeAndItsTextAndHidesTheWindow)
{
    for (int code : {5, 0}) {
        SCOPED_TRACE(code);
        BoxWatcher watcher;
        CMainDlg dialog;
        dialog.show();
        SetLastError(code);
        dialog.ReportApiError("GetConnectionTable");
        ASSERT_EQ(watcher.boxes.size(), 1u);
        ExpectErrorBox(watcher.boxes[0], "GetConnectionTable", code);
        EXPECT_TRUE(dialog.isHidden());
    }
}

TEST(MainDlgReport, UnusableLibraryEndsTheProgramAfterItsReport)
{
    // The working folder is a fresh one, without the library.
    const std::pair<std::string, const char*> cases[] = {
        {std::filesystem::current_path().string(), "LoadLibrary"},
        {TCP_ONLY_IPHLPAPI_DIR, "GetProcAddress"}};
    for (const auto& [directory, api] : cases) {
        SCOPED_TRACE(api);
        StoreSettings(100);
        BoxWatcher watcher;
        CMainDlg dialog;
        dialog.SetIpHelperDirectory(directory);
        EXPECT_EQ(dialog.DoModal(), IDOK);
        EXPECT_TRUE(dialog.IsEnded());
        EXPECT_FALSE(dialog.IsScanning());
        ASSERT_EQ(watcher.boxes.size(), 1u);
        ExpectErrorBox(watcher.boxes[0], api, ENOENT);
    }
}

// Snapshots taken by the scan thread; the first one runs `onScanSnapshot`.
std::atomic<int> scanSnapshots{0};
std::function<void()> onScanSnapshot;

void ScanSnapshotHook()
{
    if (QThread::currentThread() != QCoreApplication::instance()->thread() &&
        ++scanSnapshots == 1 && onScanSnapshot)
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
        fake.SetHook(&ScanSnapshotHook);
        scanSnapshots = 0;
        onScanSnapshot = nullptr;
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    }

    int ListRows() { return dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model()->rowCount(); }

    // The program's loop, which OnOK must end once the scan thread is gone.
    void RunUntilOnOK()
    {
        EXPECT_EQ(dialog.DoModal(), IDOK);
        EXPECT_TRUE(dialog.IsEnded());
        EXPECT_FALSE(dialog.IsScanning());
    }

    FakeIpHelper fake;
    BoxWatcher watcher;
    CMainDlg dialog;
};

TEST_F(MainDlgTest, FailedFirstSnapshotLeavesAnEmptyListAndNoScanThread)
{
    fake.Fail(31);
    EXPECT_FALSE(dialog.OnInitDialog());
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_TRUE(watcher.boxes[0].text.startsWith("ERROR: API        = GetConnectionTable\n"));
    EXPECT_FALSE(dialog.IsScanning());
    EXPECT_EQ(ListRows(), 0);

    dialog.OnOK();
    EXPECT_TRUE(dialog.IsEnded());
}

// The tables are freed only after the scan thread ends: the step under way
// still refills and dumps (use after free shows in the ASan build).
TEST_F(MainDlgTest, OnOKDuringARefillLetsTheStepFinish)
{
    oProp.SetLogEnabled(1);
    oProp.SetLogFileName("refill.log");
    oProp.Save();
    onScanSnapshot = [this] {
        QMetaObject::invokeMethod(
            &dialog, [this] { dialog.OnOK(); }, Qt::QueuedConnection);
        fake.SetRows({Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0)}, {});
    };
    RunUntilOnOK();
    EXPECT_EQ(ListRows(), 1);
    EXPECT_TRUE(watcher.boxes.empty());

    std::ifstream log("refill.log");
    std::vector<std::string> lastDump;
    for (std::string line; std::getline(log, line);)
        if (line.rfind("<<", 0) == 0)
            lastDump.clear();
        else if (line.rfind("TCP|", 0) == 0 || line.rfind("UDP|", 0) == 0)
            lastDump.push_back(line);
    ASSERT_EQ(lastDump.size(), 1u);
    EXPECT_NE(lastDump[0].find("LISTEN"), std::string::npos);
}

// The scan thread waits on the error box, and the box on a validation message
// that the still usable properties dialog opened over it: OnOK answers both.
TEST_F(MainDlgTest, OnOKWithBoxesOpenEndsWithoutAnotherBox)
{
    onScanSnapshot = [this] { fake.Fail(31); };
    watcher.onBox = [this](QMessageBox*) {
        if (watcher.boxes.size() == 1) {
            // Later, as a user would: the watcher does not look again while it is busy.
            QTimer::singleShot(0, &dialog, [this] {
                dialog.ShowPropDlg();
                for (QWidget* window : QApplication::topLevelWidgets())
                    if (auto* properties = qobject_cast<CPropDlg*>(window)) {
                        properties->findChild<QLineEdit*>("IDC_REFRESH")->setText("abc");
                        properties->OnOK();
                    }
            });
        } else {
            dialog.OnOK();
        }
    };
    RunUntilOnOK();
    ASSERT_EQ(watcher.boxes.size(), 2u);
    EXPECT_EQ(watcher.boxes[1].text, "Please enter a positive integer.");
}

TEST_F(MainDlgTest, OnOKDuringALongWaitEndsTheWait)
{
    StoreSettings(10000);
    // Some time for the step to finish, so the thread sits in its wait.
    onScanSnapshot = [this] {
        QMetaObject::invokeMethod(
            &dialog, [this] { QTimer::singleShot(200, &dialog, [this] { dialog.OnOK(); }); },
            Qt::QueuedConnection);
    };
    RunUntilOnOK();
    EXPECT_EQ(scanSnapshots, 1);
}

} // namespace
