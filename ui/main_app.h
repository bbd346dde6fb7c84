#pragma once

// The application object: runs the main window until it ends.
#include <QApplication>

class CMainApp : public QApplication {
    Q_OBJECT

public:
    CMainApp(int& argc, char** argv);

    // Runs the main window as the program's one dialog; returns 0 (FALSE) so
    // that the process ends with it.
    int InitInstance();
};
