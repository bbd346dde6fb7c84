#include "ui/main_app.h"

int main(int argc, char** argv)
{
    CMainApp app(argc, argv);
    app.InitInstance();
    return 0;
}
