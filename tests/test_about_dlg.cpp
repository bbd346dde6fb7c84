#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "ui/about_dlg.h"

// Built twice: once into a program with a version record and once, with
// only the version case, into one without.
#ifndef QUILLON_EXPECTED_VERSION
#error "QUILLON_EXPECTED_VERSION names the version the program's record holds"
#endif
#ifndef QUILLON_ABOUT_SUITE
#define QUILLON_ABOUT_SUITE AboutDlg
#endif

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "test_about_dlg";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    // Before exit: the application must not outlive Qt's own globals.
    void TearDown() override { app.reset(); }
    std::unique_ptr<QApplication> app;
};

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

TEST(QUILLON_ABOUT_SUITE, ShowsTheProgramsVersion)
{
    CAboutDlg about;
    auto* version = about.findChild<QLabel*>("IDC_VERSION_TEXT");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("Quillon v. " QUILLON_EXPECTED_VERSION));
    EXPECT_EQ(about.windowTitle(), "About Quillon");
    auto* icon = about.findChild<QLabel*>("IDI_MAIN");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
}

#ifndef QUILLON_ABOUT_VERSION_ONLY
// Runs modally over its owner, centred on it, with the focus on OK; OK,
// Enter and Esc all end it.
TEST(AboutDlg, RunsModallyCentredOverItsOwner)
{
    QWidget owner;
    owner.setGeometry(300, 200, 600, 400);
    owner.show();

    std::vector<std::function<void(CAboutDlg*)>> enders = {
        [](CAboutDlg* about) { about->findChild<QPushButton*>("IDOK")->click(); },
        [](CAboutDlg* about) { QTest::keyClick(about, Qt::Key_Return); },
        [](CAboutDlg* about) { QTest::keyClick(about, Qt::Key_Escape); },
    };
    for (const auto& endDialog : enders) {
        CAboutDlg about(&owner);
        bool seen = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (QApplication::activeModalWidget() != &about || seen)
                return;
            seen = true;
            // Centred, give or take what the platform guesses of the frames.
            QPoint offset = about.frameGeometry().center() - owner.frameGeometry().center();
            EXPECT_LE(offset.manhattanLength(), 10);
            EXPECT_EQ(about.focusWidget(), about.findChild<QPushButton*>("IDOK"));
            endDialog(&about);
        });
        poll.start(5);
        about.exec();
        EXPECT_TRUE(seen);
        EXPECT_FALSE(about.isVisible());
    }
}
#endif

} // namespace
