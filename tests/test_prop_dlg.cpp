#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "settings/log_file.h"
#include "settings/prop.h"
#include "ui/prop_dlg.h"

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "test_prop_dlg";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    // Before exit: the application must not outlive Qt's own globals.
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct ShownBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    bool dialogVisible;
};

// Answers every message box that turns up while it lives, as a user would with OK.
class BoxAnswerer {
  public:
    explicit BoxAnswerer(const QWidget* dialog) : dialog(dialog)
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
        timer.start(5);
    }
    std::vector<ShownBox> boxes;

  private:
    void Poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                         dialog->isVisible()});
        box->button(QMessageBox::Ok)->click();
    }
    const QWidget* dialog;
    QTimer timer;
};

std::vector<std::string> ReadLines(const QString& path)
{
    std::vector<std::string> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return lines;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        lines.push_back(line.toStdString());
    }
    return lines;
}

class PropDlgTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
        oProp.SetDefaults();
        logPath = dir.filePath("quillon.log");
        ASSERT_EQ(oProp.SetLogFileName(logPath.toLocal8Bit().constData()), 1);
        ASSERT_EQ(logFile.Open(logPath.toLocal8Bit().constData()), 1);
        dialog = std::make_unique<CPropDlg>();
        refresh = dialog->findChild<QLineEdit*>("IDC_REFRESH");
        logName = dialog->findChild<QLineEdit*>("IDC_LOG_NAME");
        logEnable = dialog->findChild<QCheckBox*>("IDC_LOG_ENABLE");
        scanTcp = dialog->findChild<QCheckBox*>("IDC_SCAN_TCP");
        scanUdp = dialog->findChild<QCheckBox*>("IDC_SCAN_UDP");
        showHost = dialog->findChild<QCheckBox*>("IDC_SHOW_HOST");
        apply = dialog->findChild<QPushButton*>("IDOK");
        cancel = dialog->findChild<QPushButton*>("IDCANCEL");
        ASSERT_TRUE(refresh && logName && logEnable && scanTcp && scanUdp && showHost && apply &&
                    cancel);
    }

    void TearDown() override
    {
        dialog.reset();
        logFile.Close();
        oProp.SetDefaults();
        unsetenv("XDG_CONFIG_HOME");
    }

    // Shows the dialog, enters a refresh text and applies, answering any box.
    std::vector<ShownBox> ApplyRefresh(const QString& text)
    {
        dialog->show();
        refresh->setText(text);
        BoxAnswerer answerer(dialog.get());
        apply->click();
        return answerer.boxes;
    }

    std::uint32_t StoredRefreshTime()
    {
        CProp stored;
        EXPECT_EQ(stored.Load(), 1);
        std::uint32_t ms = 0;
        stored.GetRefreshTime(&ms);
        return ms;
    }

    std::uint32_t RefreshTime()
    {
        std::uint32_t ms = 0;
        oProp.GetRefreshTime(&ms);
        return ms;
    }

    std::vector<std::string> LogNotes()
    {
        logFile.Flush();
        std::vector<std::string> lines = ReadLines(logPath);
        if (!lines.empty())
            lines.erase(lines.begin()); // the opening line
        return lines;
    }

    QTemporaryDir dir;
    QString logPath;
    std::unique_ptr<CPropDlg> dialog;
    QLineEdit* refresh = nullptr;
    QLineEdit* logName = nullptr;
    QCheckBox* logEnable = nullptr;
    QCheckBox* scanTcp = nullptr;
    QCheckBox* scanUdp = nullptr;
    QCheckBox* showHost = nullptr;
    QPushButton* apply = nullptr;
    QPushButton* cancel = nullptr;
};

TEST(ParseUnsignedDecimal, TakesDigitsWithBlanksAroundThem)
{
    std::uint32_t value = 7;
    EXPECT_TRUE(ParseUnsignedDecimal(" \t1550 ", &value));
    EXPECT_EQ(value, 1550u);
    EXPECT_TRUE(ParseUnsignedDecimal("4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
    EXPECT_TRUE(ParseUnsignedDecimal("0007", &value));
    EXPECT_EQ(value, 7u);
}

TEST(ParseUnsignedDecimal, RefusesSignsLettersGapsAndOverflowAndKeepsTheValue)
{
    for (const char* text : {"", "   ", "-1", "+1", "12a", "1 2", "abc", "4294967296",
                             "99999999999999999999", "1.5", "\xd9\xa3"}) {
        std::uint32_t value = 42;
        EXPECT_FALSE(ParseUnsignedDecimal(QString::fromUtf8(text), &value)) << text;
        EXPECT_EQ(value, 42u) << text;
    }
}

TEST_F(PropDlgTest, RefreshBelowRangeIsReportedAndAppliedClamped)
{
    std::vector<ShownBox> boxes = ApplyRefresh("50");

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Please enter an integer between 100 and 100000.");
    EXPECT_EQ(boxes[0].title, QCoreApplication::applicationName());
    EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
    EXPECT_EQ(boxes[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_FALSE(boxes[0].dialogVisible);
    EXPECT_EQ(dialog->focusWidget(), refresh);

    EXPECT_EQ(RefreshTime(), 100u);
    EXPECT_EQ(StoredRefreshTime(), 100u);
    std::vector<std::string> notes = LogNotes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes[0], "Chenged properties...");
    EXPECT_EQ(notes[1], "SetRefreshTime: 50ms.");

    // Above the range and beyond what a signed format shows: still as entered.
    boxes = ApplyRefresh("4294967295");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Please enter an integer between 100 and 100000.");
    EXPECT_EQ(RefreshTime(), 10000u);
    EXPECT_EQ(LogNotes().at(5), "SetRefreshTime: 4294967295ms.");
}

TEST_F(PropDlgTest, RefreshWithinBoundsIsLoggedAsEnteredAndStoredRounded)
{
    EXPECT_TRUE(ApplyRefresh("50000").empty());
    EXPECT_EQ(RefreshTime(), 10000u);
    EXPECT_EQ(LogNotes().at(1), "SetRefreshTime: 50000ms.");
    dialog->show();
    EXPECT_EQ(refresh->text(), "10000");
    dialog->hide();

    // The Enter key applies as the button does.
    dialog->show();
    refresh->setText("1550");
    QTest::keyClick(refresh, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(RefreshTime(), 1500u);
    EXPECT_EQ(StoredRefreshTime(), 1500u);
    std::vector<std::string> notes = LogNotes();
    EXPECT_NE(std::find(notes.begin(), notes.end(), "SetRefreshTime: 1550ms."), notes.end());
}

TEST_F(PropDlgTest, UnreadableRefreshKeepsTheValueOfTheLastFill)
{
    oProp.SetRefreshTime(700);
    for (const char* text : {"abc", "", "-300"}) {
        std::vector<ShownBox> boxes = ApplyRefresh(text);
        ASSERT_EQ(boxes.size(), 1u) << text;
        EXPECT_EQ(boxes[0].text, "Please enter a positive integer.");
        EXPECT_EQ(dialog->focusWidget(), refresh);
        EXPECT_EQ(RefreshTime(), 700u);
        EXPECT_EQ(LogNotes().back(), "Scanning UDP-connections");
    }
    EXPECT_EQ(LogNotes().at(1), "SetRefreshTime: 700ms.");
    EXPECT_EQ(StoredRefreshTime(), 700u);
}

TEST_F(PropDlgTest, TurningLoggingOffGreysTheNameAndClosesTheLogAfterItsNotes)
{
    dialog->show();
    EXPECT_TRUE(logName->isEnabled());
    logEnable->click();
    EXPECT_FALSE(logName->isEnabled());
    apply->click();

    EXPECT_EQ(logFile.IsOpen(), 0);
    EXPECT_EQ(oProp.GetLogEnabled(), 0);
    std::vector<std::string> notes = ReadLines(logPath);
    ASSERT_EQ(notes.size(), 7u);
    EXPECT_EQ(notes[1], "Chenged properties...");
    EXPECT_EQ(notes[2], "SetRefreshTime: 1000ms.");
    EXPECT_EQ(notes[3], "Scanning TCP-connections");
    EXPECT_EQ(notes[4], "Scanning UDP-connections");
    EXPECT_EQ(notes[5].rfind("<<", 0), 0u);
    EXPECT_EQ(notes[6], std::string(80, '-'));

    // Shown again, the name edit is greyed from the stored option.
    dialog->show();
    EXPECT_FALSE(logEnable->isChecked());
    EXPECT_FALSE(logName->isEnabled());
}

TEST_F(PropDlgTest, LogNameChangesOnlyWithAText)
{
    std::string oldName = logPath.toStdString();
    dialog->show();
    EXPECT_EQ(logName->text(), logPath);
    logName->setText(QString(300, QLatin1Char('n')));
    EXPECT_EQ(logName->text().size(), 255);
    logName->clear();
    apply->click();
    char name[kLogFileNameSize] = {};
    oProp.GetLogFileName(name);
    EXPECT_EQ(name, oldName);

    // A new name does not switch the open log.
    QString otherPath = dir.filePath("other.log");
    dialog->show();
    logName->setText(otherPath);
    apply->click();
    oProp.GetLogFileName(name);
    EXPECT_EQ(QString::fromLocal8Bit(name), otherPath);
    EXPECT_EQ(logFile.IsOpen(), 1);
    EXPECT_EQ(LogNotes().back(), "Scanning UDP-connections");
    EXPECT_FALSE(QFile::exists(otherPath));

    CProp stored;
    ASSERT_EQ(stored.Load(), 1);
    stored.GetLogFileName(name);
    EXPECT_EQ(QString::fromLocal8Bit(name), otherPath);
}

TEST_F(PropDlgTest, ProtocolNotesFollowTheBoxesAndApplyMarksTheListChanged)
{
    oProp.changed = 0;
    dialog->show();
    scanUdp->setChecked(false);
    showHost->setChecked(false);
    apply->click();

    std::vector<std::string> notes = LogNotes();
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[2], "Scanning TCP-connections");
    EXPECT_EQ(oProp.changed.load(), 1);
    EXPECT_NE(oProp.GetScanTcp(), 0);
    EXPECT_EQ(oProp.GetScanUdp(), 0);
    EXPECT_EQ(oProp.GetShowHost(), 0);

    CProp stored;
    ASSERT_EQ(stored.Load(), 1);
    EXPECT_NE(stored.GetScanTcp(), 0);
    EXPECT_EQ(stored.GetScanUdp(), 0);
    EXPECT_EQ(stored.GetShowHost(), 0);
    EXPECT_NE(stored.GetLogEnabled(), 0);
}

TEST_F(PropDlgTest, ClosedLogGetsNoNotes)
{
    logFile.Close();
    std::vector<std::string> before = ReadLines(logPath);
    dialog->show();
    scanTcp->setChecked(false);
    apply->click();
    EXPECT_EQ(ReadLines(logPath), before);
    EXPECT_EQ(logFile.IsOpen(), 0);
    EXPECT_EQ(oProp.GetScanTcp(), 0);
}

TEST_F(PropDlgTest, CancelEscAndCloseBoxDiscardEditsAndShowingAgainRefills)
{
    oProp.SetRefreshTime(3000);
    std::vector<std::string> before = LogNotes();
    const std::function<void()> closers[] = {
        [this] { cancel->click(); },
        [this] { QTest::keyClick(dialog.get(), Qt::Key_Escape); },
        [this] { dialog->close(); },
    };
    for (const auto& closeDialog : closers) {
        dialog->show();
        EXPECT_EQ(refresh->text(), "3000");
        refresh->setText("500");
        scanTcp->setChecked(false);
        logEnable->click();
        closeDialog();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(RefreshTime(), 3000u);
        EXPECT_NE(oProp.GetScanTcp(), 0);

        // Hidden, the controls keep what was typed; showing refills them.
        EXPECT_EQ(refresh->text(), "500");
        dialog->show();
        EXPECT_EQ(refresh->text(), "3000");
        EXPECT_TRUE(scanTcp->isChecked());
        EXPECT_TRUE(logEnable->isChecked());
        EXPECT_TRUE(logName->isEnabled());
        dialog->hide();
    }
    EXPECT_EQ(LogNotes(), before);
}

} // namespace
