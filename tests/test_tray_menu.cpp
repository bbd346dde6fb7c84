#include <QContextMenuEvent>

#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

using TrayMenuTest = StartedWindowTest;

// The menu comes with a right-button press on the icon only. What comes up
// comes up in front, restored, ready for the keyboard.
TEST_F(TrayMenuTest, EachTrayChoiceAndADismissedMenu)
{
    const struct {
        const char* choice;
        QWidget* shown;
        bool ended;
    } cases[] = {
        {"", nullptr, false},
        {"Show window", &dialog, false},
        {"Properties...", propDlg, false},
        {"Close", nullptr, true},
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
        EXPECT_EQ(dialog.IsEnded(), c.ended);
        EXPECT_EQ(dialog.isVisible(), c.shown == &dialog);
        EXPECT_EQ(propDlg->isVisible(), c.shown == propDlg);
        if (c.shown != nullptr) {
            EXPECT_TRUE(QTest::qWaitForWindowActive(c.shown));
            EXPECT_FALSE(c.shown->isMinimized());
        }
    }
}

TEST_F(TrayMenuTest, PropertiesTwiceKeepsUnappliedEdits)
{
    auto* refresh = propDlg->findChild<QLineEdit*>("IDC_REFRESH");
    for (const char* expected : {"100", "777"}) {
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
        QWidget* focus;
        std::function<void(QWidget*)> press;
        const char* firstItem;
    } cases[] = {
        {list, altSpace, "Minimize"},   {button, altSpace, "Minimize"},
        {button, shiftF10, "Minimize"}, {button, menuKey, "Minimize"},
        {list, shiftF10, "Copy"},       {list, menuKey, "Copy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        c.focus->setFocus();
        ScreenUser user;
        c.press(c.focus);
        EXPECT_EQ(user.menus, 1);
        EXPECT_EQ(user.menuFirstItem, c.firstItem);
        if (user.menuFirstItem == "Minimize") {
            EXPECT_EQ(user.menuAt, dialog.mapToGlobal(QPoint(0, 0)));
        }
        EXPECT_FALSE(propDlg->isVisible()) << "the key reached the button";
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
