#include <QContextMenuEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

#include <cstdlib>
#include <functional>
#include <utility>

#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

class TrayMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        StoreSettings(3000);
        if (const char* buildDir = std::getenv("QUILLON_BUILD_DIR"))
            dialog.SetIpHelperDirectory(buildDir);
        // Offscreen there is no notification area, and start-up reports that.
        ScreenUser user;
        ASSERT_TRUE(dialog.OnInitDialog());
        propDlg = FindPropDlg();
        ASSERT_NE(propDlg, nullptr);
    }
    void TearDown() override
    {
        dialog.OnOK();
        WaitUntilEnded(dialog);
    }

    CMainDlg dialog;
    CPropDlg* propDlg = nullptr;
};

// The menu comes with a right-button press on the icon only.
TEST_F(TrayMenuTest, EachTrayChoiceAndADismissedMenu)
{
    const struct {
        const char* choice;
        bool windowShown;
        bool propertiesShown;
        bool ended;
    } cases[] = {
        {"", false, false, false},
        {"Show window", true, false, false},
        {"Properties...", false, true, false},
        {"Close", false, false, true},
    };
    dialog.showMinimized();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice);
        dialog.hide();
        propDlg->hide();
        ScreenUser user(c.choice);
        for (int message : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN})
            QCoreApplication::postEvent(&dialog,
                                        new CWindowMessageEvent(WM_TRAYNOTIFY, 1, message));
        QCoreApplication::processEvents();
        EXPECT_EQ(user.menus, 1);
        if (c.ended)
            WaitUntilEnded(dialog);
        EXPECT_EQ(dialog.IsEnded(), c.ended);
        EXPECT_EQ(dialog.isVisible(), c.windowShown);
        EXPECT_EQ(propDlg->isVisible(), c.propertiesShown);
        // What comes up comes up in front, restored, ready for the keyboard.
        if (c.windowShown || c.propertiesShown) {
            QWidget* shown = c.windowShown ? static_cast<QWidget*>(&dialog) : propDlg;
            EXPECT_TRUE(QTest::qWaitForWindowActive(shown));
            EXPECT_FALSE(shown->isMinimized());
        }
    }
}

TEST_F(TrayMenuTest, PropertiesTwiceKeepsUnappliedEdits)
{
    auto* refresh = propDlg->findChild<QLineEdit*>("IDC_REFRESH");
    for (const char* expected : {"3000", "777"}) {
        ScreenUser user("Properties...");
        dialog.ShowTrayMenu();
        EXPECT_TRUE(propDlg->isVisible());
        EXPECT_EQ(refresh->text(), expected);
        refresh->setText("777");
    }
}

// The list has the focus first. Alt+Space reaches the window menu whichever
// control has the focus; the menu keys do outside the list and open the line's
// own menu inside it. From the keyboard the window menu opens at the window's
// top left corner.
TEST_F(TrayMenuTest, WindowMenuFromTheKeyboard)
{
    dialog.move(100, 80);
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QWidget* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
    QWidget* button = dialog.findChild<QPushButton*>("IDC_PROPERTIES");
    EXPECT_EQ(dialog.focusWidget(), list);
    const auto altSpace = [](QWidget* w) { QTest::keyClick(w, Qt::Key_Space, Qt::AltModifier); };
    const auto shiftF10 = [](QWidget* w) { QTest::keyClick(w, Qt::Key_F10, Qt::ShiftModifier); };
    // The platform turns the Menu key into a context menu request to the focus.
    const auto menuKey = [](QWidget* w) {
        QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(2, 2),
                                  w->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(w, &request);
    };
    const struct {
        const char* what;
        QWidget* focus;
        std::function<void(QWidget*)> press;
        const char* firstItem;
    } cases[] = {
        {"Alt+Space in the list", list, altSpace, "Minimize"},
        {"Alt+Space on the button", button, altSpace, "Minimize"},
        {"Shift+F10 on the button", button, shiftF10, "Minimize"},
        {"Menu on the button", button, menuKey, "Minimize"},
        {"Shift+F10 in the list", list, shiftF10, "Copy"},
        {"Menu in the list", list, menuKey, "Copy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.focus->setFocus();
        ScreenUser user;
        c.press(c.focus);
        EXPECT_EQ(user.menus, 1);
        EXPECT_EQ(user.menuFirstItem, c.firstItem);
        if (user.menuFirstItem == "Minimize") {
            EXPECT_EQ(user.menuAt, dialog.mapToGlobal(QPoint(0, 0)));
        }
        EXPECT_FALSE(propDlg->isVisible());
    }
}

// The low four bits of a command identifier are the system's own.
TEST_F(TrayMenuTest, WindowMenuCommands16To31OpenAbout)
{
    dialog.show();
    const std::pair<unsigned, int> commands[] = {{16, 1}, {31, 1}, {32, 0}};
    for (auto [id, opensAbout] : commands) {
        SCOPED_TRACE(id);
        ScreenUser user;
        dialog.OnSysCommand(id, 0);
        EXPECT_EQ(user.aboutBoxes, opensAbout);
        EXPECT_TRUE(dialog.isVisible());
    }
}

} // namespace
