#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "monitor/host_cache.h"
#include "platform/last_error.h"
#include "platform/name_lookup.h"
#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

// The box names the call, the thread's last error and its text, and the window
// hides after it; a library that cannot serve ends the program.
TEST(MainDlgReport, ErrorBoxShowsTheCallTheCodeAndItsTextAndHidesTheWindow)
{
    const struct {
        const char* api;
        std::string libraryDirectory; // none: the report alone, on a shown window
        int code;
    } cases[] = {
        {"GetConnectionTable", "", 0},
        // The working folder is a fresh one, without the library.
        {"LoadLibrary", std::filesystem::current_path().string(), ENOENT},
        {"GetProcAddress", TCP_ONLY_IPHLPAPI_DIR, ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.api);
        StoreSettings(100);
        ScreenUser user;
        CMainDlg dialog;
        if (c.libraryDirectory.empty()) {
            dialog.show();
            SetLastError(c.code);
            dialog.ReportApiError(c.api);
        } else {
            dialog.SetIpHelperDirectory(c.libraryDirectory);
            EXPECT_EQ(dialog.DoModal(), IDOK);
            EXPECT_TRUE(dialog.IsEnded());
            EXPECT_FALSE(dialog.IsScanning());
        }
        EXPECT_TRUE(dialog.isHidden());
        ASSERT_EQ(user.boxes.size(), 1u);
        const BoxRecord& box = user.boxes[0];
        EXPECT_EQ(box.text.toStdString(), std::string("ERROR: API        = ") + c.api +
                                              "\n       error code = " + std::to_string(c.code) +
                                              "\n       message    = " + std::strerror(c.code) +
                                              "\n");
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_EQ(box.title, QCoreApplication::applicationName());
    }
}

// The list after each refill; the failed first snapshot left four empty columns.
TEST_F(StartedWindowTest, ListShowsTheRowsAndTextsOfEachRefill)
{
    ASSERT_EQ(startReports.size(), 1u);
    EXPECT_TRUE(startReports[0].text.startsWith("ERROR: API        = GetConnectionTable\n"));
    QAbstractItemModel* model = dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model();
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->columnCount(), 4);
    hostCache.SetName(inet_addr("10.1.2.3"), "gateway.test");
    char name[256] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    const std::string host = name;
    using Lines = std::vector<std::vector<std::string>>;
    const std::pair<int, Lines> cases[] = {
        {0,
         {{"TCP", "  0.  0.  0.  0:  135", "  0.  0.  0.  0:    0", "LISTEN"},
          {"TCP", "127.  0.  0.  1:40000", " 10.  1.  2.  3:  443", "ESTABLISHED"},
          {"TCP", "127.  0.  0.  1: 5000", "127.  0.  0.  1: 6000", "UNC"},
          {"UDP", "  0.  0.  0.  0:   53", "*.*", " "}}},
        {1,
         {{"TCP", host + ":epmap", host + ":0", "LISTEN"},
          {"TCP", host + ":40000", "gateway.test:https", "ESTABLISHED"},
          {"TCP", host + ":5000", host + ":6000", "UNC"},
          {"UDP", host + ":domain", "*.*", " "}}},
        {1, {}},
    };
    for (const auto& [showHost, expected] : cases) {
        SCOPED_TRACE(showHost);
        if (expected.empty())
            fake.SetRows({}, {});
        else
            fake.SetRows({Tcp(2, "0.0.0.0", 135, "0.0.0.0", 0),
                          Tcp(5, "127.0.0.1", 40000, "10.1.2.3", 443),
                          Tcp(12, "127.0.0.1", 5000, "127.0.0.1", 6000)},
                         {Udp("0.0.0.0", 53)});
        // Applied properties ask for a refill of the same endpoints this way.
        oProp.SetShowHost(showHost);
        oProp.changed = 1;
        dialog.ScanOnce();
        Lines shown(model->rowCount());
        for (int row = 0; row < model->rowCount(); ++row)
            for (int column = 0; column < model->columnCount(); ++column)
                shown[row].push_back(model->index(row, column).data().toString().toStdString());
        EXPECT_EQ(shown, expected);
    }
    // Without a scan thread the close is over at once.
    dialog.OnOK();
    EXPECT_TRUE(dialog.IsEnded());
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

// The program's loop with a scan thread, which OnOK must end once the thread
// is gone, whatever the thread is doing.
class ClosePathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.Loaded());
        fake.Fail(0);
        fake.SetRows({Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0)}, {Udp("127.0.0.1", 323)});
        fake.SetHook(&ScanSnapshotHook);
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    }
    void RunUntilOnOK(std::function<void()> onSnapshot)
    {
        scanSnapshots = 0;
        onScanSnapshot = std::move(onSnapshot);
        EXPECT_EQ(dialog.DoModal(), IDOK);
        EXPECT_TRUE(dialog.IsEnded());
        EXPECT_FALSE(dialog.IsScanning());
    }

    FakeIpHelper fake;
    ScreenUser user;
    CMainDlg dialog;
};

// The tables are freed only after the scan thread ends: the step under way
// still refills and dumps (use after free shows in the ASan build).
TEST_F(ClosePathTest, OnOKDuringARefillLetsTheStepFinish)
{
    oProp.SetLogEnabled(1);
    oProp.SetLogFileName("refill.log");
    oProp.Save();
    RunUntilOnOK([this] {
        QMetaObject::invokeMethod(
            &dialog, [this] { dialog.OnOK(); }, Qt::QueuedConnection);
        fake.SetRows({Tcp(5, "127.0.0.1", 40000, "127.0.0.1", 22)}, {});
    });
    EXPECT_EQ(dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model()->rowCount(), 1);
    EXPECT_TRUE(user.boxes.empty());
    // The last dump: its stamp and its one row.
    const std::vector<std::string> log = ReadLines("refill.log");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.end()[-2].rfind("<<", 0), 0u);
    EXPECT_NE(log.back().find("ESTABLISHED"), std::string::npos);
}

// The scan thread waits on the error box, and the box on a validation message
// that the still usable properties dialog opened over it: OnOK answers both.
TEST_F(ClosePathTest, OnOKWithBoxesOpenEndsWithoutAnotherBox)
{
    user.onBox = [this](QMessageBox*) {
        if (user.boxes.size() > 1) {
            dialog.OnOK();
            return;
        }
        // Later, as a user would: the user does not look again while busy here.
        QTimer::singleShot(0, &dialog, [this] {
            dialog.ShowPropDlg();
            FindPropDlg()->findChild<QLineEdit*>("IDC_REFRESH")->setText("abc");
            FindPropDlg()->OnOK();
        });
    };
    RunUntilOnOK([this] { fake.Fail(31); });
    ASSERT_EQ(user.boxes.size(), 2u);
    EXPECT_EQ(user.boxes[1].text, "Please enter a positive integer.");
}

} // namespace
