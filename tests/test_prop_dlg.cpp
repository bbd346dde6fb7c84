#include <QAccessible>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "settings/log_file.h"
#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

constexpr char kLog[] = "quillon.log";
using Notes = std::vector<std::string>;

class PropDlgTest : public ::testing::Test {
protected:
    void SetUp() override { OpenFreshLog(); }
    void TearDown() override { logFile.Close(); }

    // The defaults, and logging into a new log.
    void OpenFreshLog()
    {
        logFile.Close();
        oProp.SetDefaults();
        std::remove(kLog);
        ASSERT_EQ(oProp.SetLogFileName(kLog), 1);
        ASSERT_EQ(logFile.Open(kLog), 1);
    }

    // The log's lines after its opening line, each stamp line as "<<".
    Notes LogNotes()
    {
        logFile.Flush();
        std::ifstream file(kLog);
        Notes lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line.rfind("<<", 0) == 0 ? "<<" : line);
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }

    static std::uint32_t Period(CProp& prop)
    {
        std::uint32_t ms = 0;
        prop.GetRefreshTime(&ms);
        return ms;
    }

    CPropDlg dialog;
    QLineEdit* refresh = dialog.findChild<QLineEdit*>("IDC_REFRESH");
    QLineEdit* logName = dialog.findChild<QLineEdit*>("IDC_LOG_NAME");
    QCheckBox* logEnable = dialog.findChild<QCheckBox*>("IDC_LOG_ENABLE");
    QCheckBox* scanTcp = dialog.findChild<QCheckBox*>("IDC_SCAN_TCP");
    QCheckBox* scanUdp = dialog.findChild<QCheckBox*>("IDC_SCAN_UDP");
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
        apply->click();

        ASSERT_EQ(user.boxes.size(), c.message.isEmpty() ? 0u : 1u);
        if (!c.message.isEmpty()) {
            EXPECT_EQ(user.boxes[0].text, c.message);
            EXPECT_EQ(user.boxes[0].icon, QMessageBox::Warning);
            EXPECT_EQ(dialog.focusWidget(), refresh);
        }
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(Period(oProp), c.period);
        CProp stored;
        ASSERT_EQ(stored.Load(), 1);
        EXPECT_EQ(Period(stored), c.period);
        Notes notes = LogNotes();
        ASSERT_GE(notes.size(), 4u);
        EXPECT_EQ(Notes(notes.end() - 4, notes.end()),
                  (Notes{"Chenged properties...", c.note, "Scanning TCP-connections",
                         "Scanning UDP-connections"}));
    }
}

// Apply notes the change and each ticked protocol while the log is open, closes
// the log after its notes when logging is unticked, keeps the old name for an
// empty one, saves, and asks the list to refill. Logging is unticked as a
// screen reader does it, by the box's toggle action; the name greys at once.
TEST_F(PropDlgTest, ApplyNotesSavesAndClosesAnUntickedLog)
{
    const Notes notes = {"Chenged properties...", "SetRefreshTime: 1000ms.",
                         "Scanning TCP-connections", "Scanning UDP-connections"};
    const struct {
        const char* what;
        std::function<void()> edit;
        Notes added;
        bool tcp, udp, logging, logOpen;
    } cases[] = {
        {"UDP unticked, name emptied",
         [this] {
             scanUdp->setChecked(false);
             logName->clear();
         },
         Notes(notes.begin(), notes.begin() + 3), true, false, true, true},
        {"log closed, TCP unticked",
         [this] {
             logFile.Close();
             scanTcp->setChecked(false);
         },
         {},
         false,
         true,
         true,
         false},
        {"logging unticked",
         [this] {
             QAccessible::queryAccessibleInterface(logEnable)->actionInterface()->doAction(
                 QAccessibleActionInterface::toggleAction());
         },
         {notes[0], notes[1], notes[2], notes[3], "<<", std::string(80, '-')},
         true,
         true,
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OpenFreshLog();
        oProp.changed = 0;
        dialog.show();
        c.edit();
        EXPECT_EQ(logName->isEnabled(), c.logging);
        const std::size_t before = LogNotes().size();
        apply->click();

        const Notes after = LogNotes();
        ASSERT_GE(after.size(), before);
        EXPECT_EQ(Notes(after.begin() + before, after.end()), c.added);
        EXPECT_EQ(logFile.IsOpen() != 0, c.logOpen);
        EXPECT_EQ(oProp.changed, 1);
        CProp stored;
        ASSERT_EQ(stored.Load(), 1);
        EXPECT_EQ(stored.GetScanTcp() != 0, c.tcp);
        EXPECT_EQ(stored.GetScanUdp() != 0, c.udp);
        EXPECT_EQ(stored.GetLogEnabled() != 0, c.logging);
        char name[kLogFileNameSize] = {};
        stored.GetLogFileName(name);
        EXPECT_STREQ(name, kLog);
    }
}

TEST_F(PropDlgTest, CancelEscAndCloseBoxDiscardEditsThatShowingAgainReplaces)
{
    oProp.SetRefreshTime(3000);
    auto* cancel = dialog.findChild<QPushButton*>("IDCANCEL");
    const std::function<void()> closers[] = {
        [cancel] { cancel->click(); },
        [this] { QTest::keyClick(&dialog, Qt::Key_Escape); },
        [this] { dialog.close(); },
    };
    for (const auto& closeDialog : closers) {
        dialog.show();
        refresh->setText("500");
        scanTcp->setChecked(false);
        logEnable->click();
        closeDialog();
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(Period(oProp), 3000u);
        EXPECT_NE(oProp.GetScanTcp(), 0);

        dialog.show();
        EXPECT_EQ(refresh->text(), "3000");
        EXPECT_TRUE(scanTcp->isChecked());
        EXPECT_TRUE(logEnable->isChecked());
        EXPECT_TRUE(logName->isEnabled());
        dialog.hide();
    }
    EXPECT_TRUE(LogNotes().empty());
}

} // namespace
