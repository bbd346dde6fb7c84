// The notification-area icon, its menu, the window menu and the way from them
// to the properties and About dialogs.
#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QTreeView>

#include <cerrno>

#include "platform/last_error.h"
#include "platform/string_resource.h"
#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/main_dlg.h"
#include "ui/program_icon.h"
#include "ui/prop_dlg.h"

namespace {

constexpr unsigned SC_MINIMIZE = 0xF020;
constexpr unsigned SC_CLOSE = 0xF060;
constexpr int WM_MBUTTONDOWN = 0x0207;
constexpr std::intptr_t kTrayIconId = 1;

void AddTrayMenuItems(QMenu* menu)
{
    menu->addAction(QStringLiteral("Show window"))->setData(ID_TRAY_SHOW);
    menu->addAction(QStringLiteral("Properties..."))->setData(ID_TRAY_PROPERTIES);
    menu->addSeparator();
    menu->addAction(QStringLiteral("Close"))->setData(ID_TRAY_CLOSE);
}

void CarryOutTrayCommand(CMainDlg* dialog, unsigned id)
{
    switch (id) {
    case ID_TRAY_SHOW:
        dialog->ShowMainWindow();
        break;
    case ID_TRAY_PROPERTIES:
        dialog->ShowPropDlg();
        break;
    case ID_TRAY_CLOSE:
        dialog->AddStatusIcon(NIM_DELETE);
        dialog->OnOK();
        break;
    default:
        break;
    }
}

// StatusNotifierItem hosts draw the icon's menu themselves from one exported
// in advance; a menu popped up by the program would never be asked for.
bool HasStatusNotifierHost()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    return bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

int MouseMessageOf(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        return WM_RBUTTONDOWN;
    case QSystemTrayIcon::Trigger:
        return WM_LBUTTONDOWN;
    case QSystemTrayIcon::DoubleClick:
        return WM_LBUTTONDBLCLK;
    case QSystemTrayIcon::MiddleClick:
        return WM_MBUTTONDOWN;
    default:
        return 0;
    }
}

} // namespace

int CMainDlg::AddStatusIcon(unsigned code)
{
    if (code == NIM_ADD) {
        // One icon per window: adding it again fails as the shell's would.
        // The last error says why, for the report that follows; what the
        // thread's errno held before has nothing to do with it.
        if (m_trayIcon != nullptr) {
            SetLastError(EEXIST);
            return 0;
        }
        // No tray host on the desktop: there is no notification area to add to.
        if (!QSystemTrayIcon::isSystemTrayAvailable()) {
            SetLastError(ENODEV);
            return 0;
        }
        m_trayIcon = new QSystemTrayIcon(LoadProgramIcon(), this);
        m_trayIcon->setToolTip(QStringLiteral("Quillon"));
        if (HasStatusNotifierHost()) {
            auto* menu = new QMenu(this);
            AddTrayMenuItems(menu);
            connect(menu, &QMenu::triggered, this, [this](QAction* action) {
                CarryOutTrayCommand(this, action->data().toUInt());
            });
            connect(m_trayIcon, &QObject::destroyed, menu, &QObject::deleteLater);
            m_trayIcon->setContextMenu(menu);
        }
        connect(m_trayIcon, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    // Where the host shows the exported menu, a right click is already served.
                    if (reason == QSystemTrayIcon::Context && m_trayIcon != nullptr &&
                        m_trayIcon->contextMenu() != nullptr)
                        return;
                    int message = MouseMessageOf(reason);
                    if (message != 0)
                        QCoreApplication::postEvent(
                            this, new CWindowMessageEvent(WM_TRAYNOTIFY, kTrayIconId, message));
                });
        m_trayIcon->show();
        return 1;
    }
    if (code == NIM_DELETE) {
        if (m_trayIcon == nullptr)
            return 0;
        // The icon may be the sender of the command that removes it.
        m_trayIcon->hide();
        m_trayIcon->deleteLater();
        m_trayIcon = nullptr;
        return 1;
    }
    return 0;
}

void CMainDlg::ShowTrayMenu()
{
    unsigned id = 0;
    {
        QMenu menu(this);
        AddTrayMenuItems(&menu);
        if (QAction* chosen = menu.exec(QCursor::pos()))
            id = chosen->data().toUInt();
    }
    CarryOutTrayCommand(this, id);
}

void CMainDlg::ShowMainWindow(const QString& activationToken)
{
    // Qt's Wayland plugin takes the token from XDG_ACTIVATION_TOKEN when the
    // window is activated, the X11 one from DESKTOP_STARTUP_ID; set only for
    // this activation, so that no later one reuses a spent token.
    const char* tokenVariable = QGuiApplication::platformName() == QLatin1String("wayland")
                                    ? "XDG_ACTIVATION_TOKEN"
                                    : "DESKTOP_STARTUP_ID";
    if (!activationToken.isEmpty())
        qputenv(tokenVariable, activationToken.toLatin1());
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    if (!activationToken.isEmpty())
        qunsetenv(tokenVariable);
}

void CMainDlg::ShowPropDlg()
{
    if (m_pPropDlg == nullptr)
        return;
    m_pPropDlg->show();
    m_pPropDlg->raise();
    m_pPropDlg->activateWindow();
}

void CMainDlg::SetUpSystemMenu()
{
    if (m_systemMenu != nullptr)
        return;
    m_systemMenu = new QMenu(this);
    // A shortcut of the window: it reaches the menu whichever control has
    // the focus, before the list or a button takes the Space for itself.
    auto* menuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    menuKey->setContext(Qt::WindowShortcut);
    connect(menuKey, &QShortcut::activated, this, [this] { ShowSystemMenuFromKeyboard(); });
    m_systemMenu->addAction(QStringLiteral("Minimize"))->setData(SC_MINIMIZE);
    m_systemMenu->addAction(QStringLiteral("Close"))->setData(SC_CLOSE);
    char about[256];
    if (LoadStringA(IDS_ABOUT_ITEM, about, sizeof about) <= 0 || about[0] == '\0')
        return;
    m_systemMenu->addSeparator();
    m_systemMenu->addAction(QString::fromLocal8Bit(about))->setData(ID_SYS_ABOUT);
}

void CMainDlg::ShowSystemMenu(const QPoint& globalPos)
{
    if (m_systemMenu == nullptr)
        return;
    if (QAction* chosen = m_systemMenu->exec(globalPos))
        OnSysCommand(chosen->data().toUInt(), 0);
}

void CMainDlg::ShowSystemMenuFromKeyboard()
{
    ShowSystemMenu(mapToGlobal(QPoint(0, 0)));
}

void CMainDlg::OnSysCommand(unsigned id, std::intptr_t)
{
    if ((id & 0xFFF0) == ID_SYS_ABOUT) {
        CAboutDlg about(this);
        about.setWindowModality(Qt::WindowModal);
        about.exec();
        return;
    }
    // The standard commands, which ignore their low four bits.
    switch (id & 0xFFF0) {
    case SC_MINIMIZE:
        showMinimized();
        break;
    case SC_CLOSE:
        close();
        break;
    default:
        break;
    }
}

bool CMainDlg::IsInList(const QWidget* widget) const
{
    for (; widget != nullptr && widget != this; widget = widget->parentWidget())
        if (widget == m_list)
            return true;
    return false;
}

// The list's own menu keys and clicks are left to the list.
void CMainDlg::contextMenuEvent(QContextMenuEvent* e)
{
    bool fromKeyboard = e->reason() == QContextMenuEvent::Keyboard;
    if (IsInList(fromKeyboard ? focusWidget() : childAt(e->pos()))) {
        e->ignore();
        return;
    }
    e->accept();
    if (fromKeyboard)
        ShowSystemMenuFromKeyboard();
    else
        ShowSystemMenu(e->globalPos());
}

void CMainDlg::keyPressEvent(QKeyEvent* e)
{
    bool shiftF10 =
        e->key() == Qt::Key_F10 && (e->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier;
    if (shiftF10 && !IsInList(focusWidget())) {
        e->accept();
        ShowSystemMenuFromKeyboard();
        return;
    }
    QDialog::keyPressEvent(e);
}
