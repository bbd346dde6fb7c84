#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "settings/log_file.h"
#include "settings/prop.h"
#include "ui/about_dlg.h"
#include "ui/main_dlg.h"
#include "ui/prop_dlg.h"

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "test_tray_menu";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    // Before exit: the application must not outlive Qt's own globals.
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Waits on a popup menu and answers it: the item with `choice` as its text,
// or Esc when `choice` is empty. Also answers any modal box as OK would,
// noting the About boxes it closed.
class UserAtTheScreen : public QObject {
  public:
    explicit UserAtTheScreen(QString choice = QString()) : choice(std::move(choice))
    {
        connect(&timer, &QTimer::timeout, this, &UserAtTheScreen::Poll);
        timer.start(5);
    }

    int menusSeen = 0;
    QStringList lastMenuTexts;
    int aboutBoxesSeen = 0;
    QStringList messageTexts;

  private:
    void Poll()
    {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (auto* about = qobject_cast<CAboutDlg*>(modal)) {
                ++aboutBoxesSeen;
                about->accept();
                return;
            }
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                messageTexts << box->text();
                box->button(QMessageBox::Ok)->click();
                return;
            }
        }
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr)
            return;
        ++menusSeen;
        lastMenuTexts.clear();
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions()) {
            lastMenuTexts << (action->isSeparator() ? QStringLiteral("-") : action->text());
            if (!choice.isEmpty() && action->text() == choice)
                chosen = action;
        }
        if (chosen != nullptr) {
            menu->setActiveAction(chosen);
            QTest::keyClick(menu, Qt::Key_Return);
        } else {
            QTest::keyClick(menu, Qt::Key_Escape);
        }
    }

    QString choice;
    QTimer timer;
};

class TrayMenuTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
        oProp.SetDefaults();
        oProp.SetLogFileName(dir.filePath("quillon.log").toLocal8Bit().constData());
        oProp.SetRefreshTime(3000);
        oProp.Save();

        dialog = std::make_unique<CMainDlg>();
        if (const char* buildDir = std::getenv("QUILLON_BUILD_DIR"))
            dialog->SetIpHelperDirectory(buildDir);
        // Offscreen there is no notification area, so start-up reports that.
        UserAtTheScreen user;
        ASSERT_TRUE(dialog->OnInitDialog());
        QCoreApplication::processEvents();
        startupMessages = user.messageTexts;
        propDlg = dialog->findChild<CPropDlg*>();
        ASSERT_NE(propDlg, nullptr);
    }

    void TearDown() override
    {
        if (!dialog->IsEnded()) {
            dialog->OnOK();
            WaitUntilEnded();
        }
        dialog.reset();
        logFile.Close();
        oProp.SetDefaults();
        unsetenv("XDG_CONFIG_HOME");
    }

    void WaitUntilEnded()
    {
        while (!dialog->IsEnded())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }

    QTemporaryDir dir;
    std::unique_ptr<CMainDlg> dialog;
    CPropDlg* propDlg = nullptr;
    QStringList startupMessages;
};

TEST_F(TrayMenuTest, NoNotificationAreaMeansNoIcon)
{
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    ASSERT_EQ(startupMessages.size(), 1);
    EXPECT_TRUE(startupMessages[0].contains("AddStatusIcon"));
    EXPECT_EQ(dialog->AddStatusIcon(NIM_ADD), 0);
    EXPECT_EQ(dialog->AddStatusIcon(NIM_DELETE), 0);
}

TEST_F(TrayMenuTest, ShowWindowShowsTheWindowAndKeepsItShown)
{
    dialog->hide();
    for (int round = 0; round < 2; ++round) {
        UserAtTheScreen user("Show window");
        dialog->ShowTrayMenu();
        EXPECT_EQ(user.menusSeen, 1);
        EXPECT_EQ(user.lastMenuTexts, QStringList({"Show window", "Properties...", "-", "Close"}));
        EXPECT_TRUE(dialog->isVisible());
    }
    EXPECT_FALSE(propDlg->isVisible());
    EXPECT_FALSE(dialog->IsEnded());
}

TEST_F(TrayMenuTest, PropertiesTwiceKeepsUnappliedEdits)
{
    dialog->hide();
    {
        UserAtTheScreen user("Properties...");
        dialog->ShowTrayMenu();
    }
    ASSERT_TRUE(propDlg->isVisible());
    auto* refresh = propDlg->findChild<QLineEdit*>("IDC_REFRESH");
    ASSERT_NE(refresh, nullptr);
    EXPECT_EQ(refresh->text(), "3000");
    refresh->setText("777");
    {
        UserAtTheScreen user("Properties...");
        dialog->ShowTrayMenu();
    }
    EXPECT_TRUE(propDlg->isVisible());
    EXPECT_EQ(refresh->text(), "777");
    EXPECT_FALSE(dialog->isVisible());

    // The window's own button leads to the same dialog.
    propDlg->hide();
    auto* button = dialog->findChild<QPushButton*>("IDC_PROPERTIES");
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_TRUE(propDlg->isVisible());
    EXPECT_EQ(refresh->text(), "3000");
}

TEST_F(TrayMenuTest, DismissedMenuChangesNothing)
{
    dialog->hide();
    UserAtTheScreen user;
    dialog->ShowTrayMenu();
    EXPECT_EQ(user.menusSeen, 1);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(propDlg->isVisible());
    EXPECT_FALSE(dialog->IsEnded());
}

TEST_F(TrayMenuTest, CloseEndsTheProgramLosingUnappliedEdits)
{
    dialog->ShowPropDlg();
    propDlg->findChild<QLineEdit*>("IDC_REFRESH")->setText("9000");
    {
        UserAtTheScreen user("Close");
        dialog->ShowTrayMenu();
    }
    WaitUntilEnded();
    EXPECT_TRUE(dialog->IsEnded());
    std::uint32_t ms = 0;
    oProp.GetRefreshTime(&ms);
    EXPECT_EQ(ms, 3000u);
}

// Only a right-button press on the icon opens the menu.
TEST_F(TrayMenuTest, OnlyRightButtonMessagesOpenTheMenu)
{
    UserAtTheScreen user;
    for (int message : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN}) {
        QCoreApplication::postEvent(dialog.get(),
                                    new CWindowMessageEvent(WM_TRAYNOTIFY, 1, message));
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(user.menusSeen, 1);
}

TEST_F(TrayMenuTest, SystemCommandsSixteenToThirtyOneOpenAbout)
{
    dialog->show();
    UserAtTheScreen user;
    dialog->OnSysCommand(16, 0);
    EXPECT_EQ(user.aboutBoxesSeen, 1);
    dialog->OnSysCommand(31, 0);
    EXPECT_EQ(user.aboutBoxesSeen, 2);
    dialog->OnSysCommand(32, 0);
    EXPECT_EQ(user.aboutBoxesSeen, 2);
    EXPECT_TRUE(dialog->isVisible());

    dialog->OnSysCommand(0xF020, 0);
    EXPECT_TRUE(dialog->isMinimized());
    dialog->showNormal();
    dialog->OnSysCommand(0xF060, 0);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->IsEnded());
}

TEST_F(TrayMenuTest, WindowMenuOpensOnAltSpaceAndOutsideTheList)
{
    dialog->show();
    {
        UserAtTheScreen user("&About Quillon...");
        QTest::keyClick(dialog.get(), Qt::Key_Space, Qt::AltModifier);
        EXPECT_EQ(user.menusSeen, 1);
        EXPECT_EQ(user.lastMenuTexts, QStringList({"Minimize", "Close", "-", "&About Quillon..."}));
        EXPECT_EQ(user.aboutBoxesSeen, 1);
    }

    auto* list = dialog->findChild<QAbstractItemView*>();
    ASSERT_NE(list, nullptr);
    {
        UserAtTheScreen user;
        QPoint onList = list->viewport()->rect().center();
        QContextMenuEvent onListEvent(QContextMenuEvent::Mouse, onList,
                                      list->viewport()->mapToGlobal(onList));
        QApplication::sendEvent(list->viewport(), &onListEvent);
        QCoreApplication::processEvents();
        EXPECT_EQ(user.menusSeen, 0);

        QPoint outside(2, dialog->height() - 2);
        QContextMenuEvent outsideEvent(QContextMenuEvent::Mouse, outside,
                                       dialog->mapToGlobal(outside));
        QApplication::sendEvent(dialog.get(), &outsideEvent);
        EXPECT_EQ(user.menusSeen, 1);
    }

    // Other keys keep their dialog meaning: Esc hides the window.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(dialog->IsEnded());
}

} // namespace
