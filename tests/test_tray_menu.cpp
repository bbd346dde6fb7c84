#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

// The menu comes with a right-button press on the icon only. What comes up
// comes up in front, restored, ready for the keyboard.
TEST_F(StartedWindowTest, TrayMenuShowsTheWindowOrIsDismissed)
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
        EXPECT_EQ(dialog.isVisible(), shown);
        if (shown) {
            EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
            EXPECT_FALSE(dialog.isMinimized());
        }
    }
}

} // namespace
