// Main of the widget tests: an offscreen Qt application, and a private folder
// that holds the settings hive and the log, so no test touches the user's.
// --font-dpi=N gives the screen N dots per inch, unscaled, as a desktop
// with that font resolution does.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    constexpr char kDpiFlag[] = "--font-dpi=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kDpiFlag, sizeof kDpiFlag - 1) == 0) {
            setenv("QT_FONT_DPI", argv[i] + sizeof kDpiFlag - 1, 1);
            setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
        }
    }
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
