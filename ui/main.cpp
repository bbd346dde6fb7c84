#include <cstdio>

#include "ui/main_app.h"
#include "ui/single_instance.h"

int main(int argc, char** argv)
{
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
