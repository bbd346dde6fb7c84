// Main of the widget tests: an offscreen Qt application, and a private folder
// that holds the settings hive and the log, so no test touches the user's.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char folder[] = "/tmp/quillon-widget-XXXXXX";
    if (mkdtemp(folder) == nullptr || chdir(folder) != 0)
        return 2;
    setenv("XDG_CONFIG_HOME", folder, 1);

    int result;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return result;
}
