#include <QAccessible>

#include <algorithm>
#include <cstdio>

#include "platform/registry.h"
#include "settings/log_file.h"
#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

constexpr char kLog[] = "quillon.log";
using Notes = std::vector<std::string>;
const std::string kChanged = "Chenged properties...";
const std::string kTcp = "Scanning TCP-connections";
const std::string kUdp = "Scanning UDP-connections";
const std::string kIpv6 = "Scanning IPv6 endpoints";

class PropDlgTest : public ::testing::Test {
protected:
    void SetUp() override { OpenNewLog(); }

    // The defaults, logging into a new log.
    void OpenNewLog()
    {
        logFile.Close();
        oProp.SetDefaults();
        std::remove(kLog);
        ASSERT_EQ(oProp.SetLogFileName(kLog), 1);
        ASSERT_EQ(logFile.Open(kLog), 1);
    }

    // Clicks Apply; returns the log lines it wrote, each stamp line as "<<".
    Notes Apply()
    {
        logFile.Flush();
        const std::size_t before = ReadLines(kLog).size();
        apply->click();
        logFile.Flush();
        Notes notes = ReadLines(kLog);
        notes.erase(notes.begin(), notes.begin() + std::min(before, notes.size()));
        for (std::string& line : notes)
            line = line.rfind("<<", 0) == 0 ? "<<" : line;
        return notes;
    }

    CPropDlg dialog;
    QLineEdit* refresh = dialog.findChild<QLineEdit*>("IDC_REFRESH");
    QLineEdit* logName = dialog.findChild<QLineEdit*>("IDC_LOG_NAME");
    QCheckBox* logEnable = dialog.findChild<QCheckBox*>("IDC_LOG_ENABLE");
    QCheckBox* scanTcp = dialog.findChild<QCheckBox*>("IDC_SCAN_TCP");
    QCheckBox* scanUdp = dialog.findChild<QCheckBox*>("IDC_SCAN_UDP");
    QCheckBox* scanIpv6 = dialog.findChild<QCheckBox*>("IDC_SCAN_IPV6");
    QPushButton* apply = dialog.findChild<QPushButton*>("IDOK");
};

// A failed check is reported and the rest applied all the same: an unreadable
// text leaves the period of the last fill, the log notes the value as entered.
TEST_F(PropDlgTest, ApplyTakesTheRefreshTimeIntoItsRange)
{
    const QString range = "Please enter an integer between 100 and 100000.";
    const QString notNumber = "Please enter a positive integer.";
    const struct {
        const char* text;
        QString message;
        std::uint32_t period;
        const char* note;
    } cases[] = {
        {"50", range, 100, "SetRefreshTime: 50ms."},
        {"50000", {}, 10000, "SetRefreshTime: 50000ms."},
        {" 1550 ", {}, 1500, "SetRefreshTime: 1550ms."},
        {"4294967295", range, 10000, "SetRefreshTime: 4294967295ms."},
        {"abc", notNumber, 700, "SetRefreshTime: 700ms."},
        {"-300", notNumber, 700, "SetRefreshTime: 700ms."},
        {"4294967296", notNumber, 700, "SetRefreshTime: 700ms."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        oProp.SetRefreshTime(700);
        dialog.show();
        refresh->setText(c.text);
        ScreenUser user;
        EXPECT_EQ(Apply(), (Notes{kChanged, c.note, kTcp, kUdp}));
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(user.boxes, c.message.isEmpty() ? QStringList() : QStringList(c.message));
        if (!c.message.isEmpty()) {
            EXPECT_EQ(dialog.focusWidget(), refresh);
        }
        std::uint32_t period = 0;
        oProp.GetRefreshTime(&period);
        EXPECT_EQ(period, c.period);
    }
}

// Apply notes each ticked protocol while the log is open, asks the list to
// refill, keeps the old name for an empty one, and closes the log after its
// notes when logging is unticked: here as a screen reader does it, by the
// box's toggle action, which greys the name at once.
TEST_F(PropDlgTest, ApplyNotesSavesAndClosesAnUntickedLog)
{
    const std::string period = "SetRefreshTime: 1000ms.";
    const struct {
        bool logOpen, tcp, udp, ipv6, logging;
        Notes notes;
    } cases[] = {
        {true, true, false, false, true, {kChanged, period, kTcp}},
        {false, false, true, true, true, {}},
        {true, false, true, true, true, {kChanged, period, kUdp, kIpv6}},
        {true,
         true,
         true,
         false,
         false,
         {kChanged, period, kTcp, kUdp, "<<", std::string(80, '-')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        OpenNewLog();
        if (!c.logOpen)
            logFile.Close();
        oProp.changed = 0;
        dialog.show();
        scanTcp->setChecked(c.tcp);
        scanUdp->setChecked(c.udp);
        scanIpv6->setChecked(c.ipv6);
        logName->clear();
        if (!c.logging)
            QAccessible::queryAccessibleInterface(logEnable)->actionInterface()->doAction(
                QAccessibleActionInterface::toggleAction());
        EXPECT_EQ(logName->isEnabled(), c.logging);
        EXPECT_EQ(Apply(), c.notes);
        EXPECT_EQ(logFile.IsOpen() != 0, c.logOpen && c.logging);
        EXPECT_EQ(oProp.changed, 1);
        EXPECT_EQ(oProp.GetScanIpv6(), c.ipv6 ? 1 : 0);
        char name[kLogFileNameSize] = {};
        oProp.GetLogFileName(name);
        EXPECT_STREQ(name, kLog);
    }
}

// Apply, clicked or taken as the default button by Return, writes the
// settings file before the dialog is gone.
TEST_F(PropDlgTest, ApplyAndReturnWriteTheSettingsFile)
{
    const std::string hive = GetHiveFilePath();
    const struct {
        std::function<void()> press;
        const char *period, *stored;
    } cases[] = {
        {[this] { apply->click(); }, "200", "\"RefreshTime\"=dword:000000c8\n"},
        {[this] { QTest::keyClick(refresh, Qt::Key_Return); }, "300",
         "\"RefreshTime\"=dword:0000012c\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.period);
        dialog.show();
        refresh->setText(c.period);
        c.press();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_NE(ReadText(hive).find(c.stored), std::string::npos) << ReadText(hive);
        EXPECT_EQ(ReadText(hive).find("IPv6"), std::string::npos);
    }
    // Once on, the option stays in the file, off again as 0.
    for (const auto& [ipv6, stored] : {std::pair{true, "\"IPv6\"=dword:00000001\n"},
                                       std::pair{false, "\"IPv6\"=dword:00000000\n"}}) {
        dialog.show();
        scanIpv6->setChecked(ipv6);
        apply->click();
        EXPECT_NE(ReadText(hive).find(stored), std::string::npos);
    }
}

TEST_F(PropDlgTest, CancelAndEscDiscardEditsThatShowingAgainReplaces)
{
    oProp.SetRefreshTime(3000);
    auto* cancel = dialog.findChild<QPushButton*>("IDCANCEL");
    const std::function<void()> closers[] = {
        [cancel] { cancel->click(); },
        [this] { QTest::keyClick(&dialog, Qt::Key_Escape); },
    };
    for (const auto& closeDialog : closers) {
        dialog.show();
        refresh->setText("500");
        scanTcp->setChecked(false);
        closeDialog();
        EXPECT_FALSE(dialog.isVisible());
        std::uint32_t period = 0;
        oProp.GetRefreshTime(&period);
        EXPECT_EQ(period, 3000u);
        EXPECT_NE(oProp.GetScanTcp(), 0);

        dialog.show();
        EXPECT_EQ(refresh->text(), "3000");
        EXPECT_TRUE(scanTcp->isChecked());
        dialog.hide();
    }
    logFile.Flush();
    EXPECT_EQ(ReadLines(kLog).size(), 1u) << "a note in the log";
}

} // namespace
