#pragma once

// Set up before the application object of an offscreen Qt test or benchmark:
// the offscreen platform, and a private working folder, removed with the
// session, so that no run touches the user's hive or log. `--font-dpi=N` gives
// the screen N dots per inch, unscaled, as a desktop with that font resolution.
#include <string>

class OffscreenSession {
public:
    OffscreenSession(const char* name, int argc, char** argv);
    ~OffscreenSession();
    OffscreenSession(const OffscreenSession&) = delete;
    OffscreenSession& operator=(const OffscreenSession&) = delete;

    // False when the folder could not be made or entered.
    bool Ready() const { return m_ready; }

private:
    std::string m_folder;
    bool m_ready = false;
};
