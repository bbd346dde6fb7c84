#include "tests/support/offscreen_session.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

OffscreenSession::OffscreenSession(const char* name, int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    constexpr char kDpiFlag[] = "--font-dpi=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kDpiFlag, sizeof kDpiFlag - 1) == 0) {
            setenv("QT_FONT_DPI", argv[i] + sizeof kDpiFlag - 1, 1);
            setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
        }
    }
    std::string folder = std::string("/tmp/quillon-") + name + "-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr)
        return;
    m_folder = folder;
    m_ready = chdir(m_folder.c_str()) == 0 && setenv("XDG_CONFIG_HOME", m_folder.c_str(), 1) == 0 &&
              setenv("XDG_STATE_HOME", m_folder.c_str(), 1) == 0;
}

OffscreenSession::~OffscreenSession()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}
