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
#include "ui/prop_dlg.h"

using namespace uitest;

namespace {

constexpr char kLog[] = "quillon.log";
using Notes = std::vector<std::string>;

class PropDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        oProp.SetDefaults();
        std::remove(kLog);
        ASSERT_EQ(oProp.SetLogFileName(kLog), 1);
        ASSERT_EQ(logFile.Open(kLog), 1);
    }
    void TearDown() override { logFile.Close(); }

    // The log's lines after its opening line.
    Notes LogNotes()
    {
        logFile.Flush();
        std::ifstream file(kLog);
        Notes lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }

    std::uint32_t Period(CProp& prop)
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
    QPushButton* cancel = dialog.findChild<QPushButton*>("IDCANCEL");
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
        BoxWatcher watcher;
        apply->click();

        ASSERT_EQ(watcher.boxes.size(), c.message.isEmpty() ? 0u : 1u);
        if (!c.message.isEmpty()) {
            EXPECT_EQ(watcher.boxes[0].text, c.message);
            EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Warning);
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

// Unticked as a screen reader does it, by the check box's toggle action.
TEST_F(PropDlgTest, UntickingLoggingGreysTheNameAndApplyClosesTheLogAfterItsNotes)
{
    dialog.show();
    EXPECT_TRUE(logName->isEnabled());
    QAccessible::queryAccessibleInterface(logEnable)->actionInterface()->doAction(
        QAccessibleActionInterface::toggleAction());
    EXPECT_FALSE(logEnable->isChecked());
    EXPECT_FALSE(logName->isEnabled());
    apply->click();

    EXPECT_EQ(logFile.IsOpen(), 0);
    EXPECT_EQ(oProp.GetLogEnabled(), 0);
    Notes notes = LogNotes();
    ASSERT_EQ(notes.size(), 6u);
    EXPECT_EQ(notes[4].rfind("<<", 0), 0u);
    notes[4] = "<<";
    EXPECT_EQ(notes,
              (Notes{"Chenged properties...", "SetRefreshTime: 1000ms.", "Scanning TCP-connections",
                     "Scanning UDP-connections", "<<", std::string(80, '-')}));
}

TEST_F(PropDlgTest, ApplyNotesTickedProtocolsKeepsTheNameForAnEmptyOneAndMarksChanged)
{
    oProp.changed = 0;
    dialog.show();
    scanUdp->setChecked(false);
    logName->clear();
    apply->click();
    EXPECT_EQ(LogNotes(), (Notes{"Chenged properties...", "SetRefreshTime: 1000ms.",
                                 "Scanning TCP-connections"}));
    EXPECT_EQ(oProp.GetScanUdp(), 0);
    EXPECT_EQ(oProp.changed, 1);
    char name[kLogFileNameSize] = {};
    oProp.GetLogFileName(name);
    EXPECT_STREQ(name, kLog);
}

TEST_F(PropDlgTest, ClosedLogGetsNoNotes)
{
    logFile.Close();
    Notes before = LogNotes();
    dialog.show();
    scanTcp->setChecked(false);
    apply->click();
    EXPECT_EQ(LogNotes(), before);
    EXPECT_EQ(logFile.IsOpen(), 0);
    EXPECT_EQ(oProp.GetScanTcp(), 0);
}

TEST_F(PropDlgTest, CancelEscAndCloseBoxDiscardEditsThatShowingAgainReplaces)
{
    oProp.SetRefreshTime(3000);
    const std::function<void()> closers[] = {
        [this] { cancel->click(); },
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
