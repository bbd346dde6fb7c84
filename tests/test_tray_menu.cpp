#include <QContextMenuEvent>

#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

using TrayMenuTest = StartedWindowTest;

// The menu comes with a right-button press on the icon only. What comes up
// comes up in front, restored, ready for the keyboard.
TEST_F(TrayMenuTest, ShowWindowAndADismissedMenu)
{
    const std::pair<const char*, bool> cases[] = {{"", false}, {"Show window", true}};
    dialog.showMinimized();
    for (const auto& [choice, shown] : cases) {
        SCOPED_TRACE(choice);
        dialog.hide();
        ScreenUser user(choice);
        for (int message : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN})
            QCoreApplication::postEvent(&dialog,
                                        new CWindowMessageEvent(WM_TRAYNOTIFY, 1, message));
        QCoreApplication::processEvents();
        EXPECT_EQ(user.menus, 1);
        EXPECT_FALSE(dialog.IsEnded());
        EXPECT_FALSE(propDlg->isVisible());
        EXPECT_EQ(dialog.isVisible(), shown);
        if (shown) {
            EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
            EXPECT_FALSE(dialog.isMinimized());
        }
    }
}

// Outside the list every menu key opens the window menu, at the window's top
// left corner, and does not reach the button that has the focus.
TEST_F(TrayMenuTest, WindowMenuFromTheKeyboardOutsideTheList)
{
    dialog.move(100, 80);
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QWidget* button = dialog.findChild<QPushButton*>("IDC_PROPERTIES");
    const std::function<void()> presses[] = {
        [button] { QTest::keyClick(button, Qt::Key_Space, Qt::AltModifier); },
        [button] { QTest::keyClick(button, Qt::Key_F10, Qt::ShiftModifier); },
        // The platform turns the Menu key into a context menu request to the focus.
        [button] {
            QContextMenuEvent request(QContextMenuEvent::Keyboard, QPoint(2, 2),
                                      button->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(button, &request);
        },
    };
    for (const auto& press : presses) {
        SCOPED_TRACE(&press - presses);
        button->setFocus();
        ScreenUser user;
        press();
        EXPECT_EQ(user.menus, 1);
        EXPECT_EQ(user.menuFirstItem, "Minimize");
        EXPECT_EQ(user.menuAt, dialog.mapToGlobal(QPoint(0, 0)));
        EXPECT_FALSE(propDlg->isVisible());
    }
}

} // namespace
