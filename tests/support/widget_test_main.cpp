// Main of the widget tests: an offscreen application in a private folder.
#include <gtest/gtest.h>

#include <QApplication>

#include "tests/support/offscreen_session.h"

int main(int argc, char** argv)
{
    OffscreenSession session("widget", argc, argv);
    if (!session.Ready())
        return 2;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
