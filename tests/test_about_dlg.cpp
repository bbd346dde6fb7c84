#include <gtest/gtest.h>

#include <QLabel>

#include "ui/about_dlg.h"

// Built twice: into a program with a version record and into one without,
// each under its own suite name.
#ifndef QUILLON_ABOUT_SUITE
#define QUILLON_ABOUT_SUITE AboutDlg
#endif

namespace {

TEST(QUILLON_ABOUT_SUITE, ShowsTheProgramsVersion)
{
    CAboutDlg about;
    auto* version = about.findChild<QLabel*>("IDC_VERSION_TEXT");
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version->text(), QStringLiteral("Quillon v. " QUILLON_EXPECTED_VERSION));
    auto* icon = about.findChild<QLabel*>("IDI_MAIN");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
}

} // namespace
