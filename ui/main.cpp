#include <cstdio>
#include <cstdlib>

#include "ui/accessible_application.h"
#include "ui/main_app.h"
#include "ui/single_instance.h"

int main(int argc, char** argv)
{
    // Qt would abort without a display; a console start deserves a plain answer.
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    if ((wayland == nullptr || *wayland == '\0') && (x11 == nullptr || *x11 == '\0')) {
        std::fputs("quillon: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are "
                   "unset)\n",
                   stderr);
        return 1;
    }
    InstallAccessibleApplication();
    CMainApp app(argc, argv);
    // A launch while an instance of this user runs on this display only
    // brings that one's window back, before any settings or log are touched.
    CSingleInstance instance(&app);
    switch (instance.Claim()) {
    case InstanceRole::Primary:
        break;
    case InstanceRole::Secondary:
        return 0;
    case InstanceRole::Unanswered:
        std::fputs("quillon: a running instance does not answer\n", stderr);
        return 1;
    }
    app.InitInstance();
    return 0;
}
