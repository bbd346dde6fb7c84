#include "ui/main_app.h"

#include "ui/main_dlg.h"
#include "ui/shutdown_signals.h"
#include "ui/single_instance.h"

CMainApp::CMainApp(int& argc, char** argv) : QApplication(argc, argv)
{
    // The window only hides when closed; the program ends through OnOK.
    setQuitOnLastWindowClosed(false);
}

int CMainApp::InitInstance()
{
    CMainDlg dialog;
    // Later launches ask for the window through the instance guard.
    if (auto* instance = findChild<CSingleInstance*>())
        connect(instance, &CSingleInstance::showRequested, &dialog, &CMainDlg::ShowMainWindow);
    // A signalled end goes the way of the tray menu's "Close".
    CShutdownSignals shutdownSignals;
    shutdownSignals.Install([&dialog] {
        dialog.AddStatusIcon(NIM_DELETE);
        dialog.OnOK();
    });
    dialog.DoModal();
    return 0;
}
