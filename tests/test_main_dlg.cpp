#include <QLineEdit>
#include <QThread>
#include <QTreeView>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/last_error.h"
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
        fake.Fail(0);
        fake.SetRows(
            {Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0), Tcp(5, "127.0.0.1", 40000, "127.0.0.1", 22)},
            {Udp("127.0.0.1", 323)});
        fake.SetHook(&ScanSnapshotHook);
        scanSnapshots = 0;
        onScanSnapshot = nullptr;
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    }
    // The program's loop, which OnOK must end once the scan thread is gone.
    void RunUntilOnOK()
    {
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
    EXPECT_EQ(dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model()->rowCount(), 1);
    EXPECT_TRUE(user.boxes.empty());

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
    RunUntilOnOK();
    ASSERT_EQ(user.boxes.size(), 2u);
    EXPECT_EQ(user.boxes[1].text, "Please enter a positive integer.");
}

} // namespace
