#pragma once

// The program's only top-level window: the connection list, the two snapshot
// buffers, the scan thread, the tray icon and the hidden properties dialog.
#include <QDialog>
#include <QEvent>
#include <QIcon>

#include <cstdint>
#include <string>

#include "monitor/conn_table.h"
#include "monitor/scan_cycle.h"
#include "platform/module_loader.h"

class CConnListModel;
class CListPause;
class CPropDlg;
class QPushButton;
class QSystemTrayIcon;
class QMenu;
class QTreeView;

// Window messages of the program's own, delivered as events of these types.
inline constexpr int WM_TRAYNOTIFY = 1054;
inline constexpr int WM_LISTCHANGED = 1055;
inline constexpr int WM_RBUTTONDOWN = 0x0204;
inline constexpr int WM_LBUTTONDOWN = 0x0201;
inline constexpr int WM_LBUTTONDBLCLK = 0x0203;

inline constexpr unsigned NIM_ADD = 0;
inline constexpr unsigned NIM_DELETE = 2;

inline constexpr unsigned ID_TRAY_SHOW = 1001;
inline constexpr unsigned ID_TRAY_PROPERTIES = 1002;
inline constexpr unsigned ID_TRAY_CLOSE = 1003;
inline constexpr unsigned ID_SYS_ABOUT = 16;

inline constexpr int IDOK = 1;

// A window message carried as an event: the type is the message number.
class CWindowMessageEvent : public QEvent {
public:
    CWindowMessageEvent(int message, std::intptr_t first, std::intptr_t second)
        : QEvent(static_cast<QEvent::Type>(message)), wParam(first), lParam(second)
    {
    }
    std::intptr_t wParam;
    std::intptr_t lParam;
};

class CMainDlg : public QDialog, private CScanHost {
    Q_OBJECT

public:
    explicit CMainDlg(QWidget* parent = nullptr);
    ~CMainDlg() override;

    // Initialises the window, shows it centred and runs the program's event
    // loop until OnOK has ended the dialog. Returns IDOK.
    int DoModal();

    bool OnInitDialog();
    void OnOK();
    void OnCancel();
    void OnClose();

    void RefreshList();
    void DumpToLogFile(const CONN_TABLE* table, const CONN6_TABLE* table6 = nullptr);
    void ReportApiError(const char* api);
    void ScanOnce();
    static std::uint32_t ScanThreadProc(CMainDlg* dialog);

    // Notification area, menus and the properties dialog (tray_menu.cpp).
    int AddStatusIcon(unsigned code);
    void ShowTrayMenu();
    void ShowPropDlg();
    // Shows, un-minimises, raises and activates the window; a desktop that
    // hands the focus only to a window with a token gets `activationToken`.
    void ShowMainWindow(const QString& activationToken = {});
    void OnSysCommand(unsigned id, std::intptr_t param);
    void SetUpSystemMenu();
    void ShowSystemMenu(const QPoint& globalPos);
    // From the keyboard the window menu opens at the window's top left corner.
    void ShowSystemMenuFromKeyboard();

    // Where OnInitDialog looks for the IP helper library; empty (the default)
    // means beside the program or in its private library folder.
    void SetIpHelperDirectory(const std::string& directory) { m_ipHelperDirectory = directory; }

    // True once OnOK has finished: buffers released, dialog ended.
    bool IsEnded() const { return m_ended; }
    bool IsScanning() const { return m_scanThread.IsStarted(); }

protected:
    // Sees every event first, as the window procedure sees every message.
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void reject() override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    // The scan step's view of the window.
    int TakeSnapshot(const CONN_SNAPSHOT& snapshot) override;
    void ShowTable(const CONN_SNAPSHOT& snapshot) override;
    void DumpTable(const CONN_SNAPSHOT& snapshot) override;
    void ReportFailure(const char* api) override;

    void CreateControls();
    bool IsInList(const QWidget* widget) const;
    void CenterWindow();
    // Runs `work` on the user-interface thread; from another thread the caller
    // waits until it is done.
    template <typename Work> void RunOnUiThread(Work&& work);
    // A modal box owned by this window; none once the window is stopping.
    void ShowMessageBox(const QString& text, bool errorIcon);
    static void ShowDumpMessageBox(const char* text);
    void OnScanThreadEnded();
    void EndDialog();
    void FreeTables();

    QIcon m_hIcon;
    HMODULE m_hIpHelper = nullptr;
    std::string m_ipHelperDirectory;
    // Holds the stop flag of the scan thread (m_bStopScan): cleared when the
    // thread starts, set by OnOK.
    CScanThread m_scanThread;
    QTreeView* m_list = nullptr;
    CConnListModel* m_listModel = nullptr;
    CListPause* m_listPause = nullptr;
    QPushButton* m_propertiesButton = nullptr;
    CONN_TABLE* m_pCurTable = nullptr;
    CONN_TABLE* m_pPrevTable = nullptr;
    // The IPv6 rows of the same two snapshots, swapped with them.
    CONN6_TABLE* m_pCur6Table = nullptr;
    CONN6_TABLE* m_pPrev6Table = nullptr;
    int m_columnWidths[4] = {}; // pixels, one per list column

    bool m_stopping = false;
    bool m_ended = false;
    bool m_destroying = false;
    bool m_inModalLoop = false;

    CPropDlg* m_pPropDlg = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QMenu* m_systemMenu = nullptr;
};
