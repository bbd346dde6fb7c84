#pragma once

// The program's only top-level window: the connection list, the two snapshot
// buffers, the scan thread, the tray icon and the hidden properties dialog.
#include <QDialog>
#include <QEvent>

#include <atomic>
#include <cstdint>

#include "monitor/conn_table.h"

class CPropDlg;
class QSystemTrayIcon;
class QMenu;

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

// A window message carried as an event: the type is the message number.
class CWindowMessageEvent : public QEvent {
public:
    CWindowMessageEvent(int message, std::intptr_t wParam, std::intptr_t lParam)
        : QEvent(static_cast<QEvent::Type>(message)), wParam(wParam), lParam(lParam)
    {
    }
    std::intptr_t wParam;
    std::intptr_t lParam;
};

class CMainDlg : public QDialog {
    Q_OBJECT

public:
    explicit CMainDlg(QWidget* parent = nullptr);
    ~CMainDlg() override;

    bool OnInitDialog();
    void OnOK();
    void OnCancel();

    void RefreshList();
    void DumpToLogFile(const CONN_TABLE* table);
    void ReportApiError(const char* api);
    void ScanOnce();
    static std::uint32_t ScanThreadProc(CMainDlg* dialog);

    // Notification area, menus and the properties dialog (tray_menu.cpp).
    int AddStatusIcon(unsigned code);
    void ShowTrayMenu();
    void ShowPropDlg();
    void OnSysCommand(unsigned id, std::intptr_t param);
    void SetUpSystemMenu();
    void ShowSystemMenu(const QPoint& globalPos);

protected:
    // Sees every event first, as the window procedure sees every message.
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void reject() override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    CPropDlg* m_pPropDlg = nullptr;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QMenu* m_systemMenu = nullptr;
};
