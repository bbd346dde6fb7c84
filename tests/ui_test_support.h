#pragma once

// What the widget tests share: the test IP helper library's tables, a user who
// answers boxes and menus, and a started main window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <arpa/inet.h>

#include <functional>
#include <string>
#include <vector>

#include "settings/prop.h"
#include "tests/fake_iphlpapi/fake_control.h"
#include "tests/test_support.h"
#include "ui/main_dlg.h"
#include "ui/prop_dlg.h"
#include "ui/window_state.h"

namespace uitest {

inline MIB_TCPROW Tcp(std::uint32_t state, const char* local, std::uint16_t localPort,
                      const char* remote, std::uint16_t remotePort)
{
    return MIB_TCPROW{state, inet_addr(local), htons(localPort), inet_addr(remote),
                      htons(remotePort)};
}

inline MIB_UDPROW Udp(const char* local, std::uint16_t localPort)
{
    return MIB_UDPROW{inet_addr(local), htons(localPort)};
}

// The test library is linked in, and the main window's loader opens the same
// file, so both share its tables.
inline void SetRows(const std::vector<MIB_TCPROW>& tcp, const std::vector<MIB_UDPROW>& udp)
{
    FakeSetTcpRows(tcp.data(), std::uint32_t(tcp.size()));
    FakeSetUdpRows(udp.data(), std::uint32_t(udp.size()));
}

// The user at the screen: records the text of each message box and answers it
// with OK, and answers a popup menu with the item named `menuChoice`, or with
// Esc when that is empty. The offscreen platform has no notification area; the
// start-up report of that is only answered.
class ScreenUser {
public:
    explicit ScreenUser(QString choice = {}) : menuChoice(std::move(choice))
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
        timer.start(5);
    }

    QStringList boxes;
    int menus = 0;

private:
    // The timer does not fire again while this runs, nested loops and all.
    void Poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr && box != handled) {
            handled = box;
            // Window-modal, but no sheet: Wayland draws no frame for a sheet.
            EXPECT_NE(box->windowType(), Qt::Sheet) << box->text().toStdString();
            EXPECT_EQ(box->windowModality(), Qt::WindowModal);
            if (!box->text().startsWith("ERROR: API        = AddStatusIcon\n"))
                boxes.push_back(box->text());
            box->button(QMessageBox::Ok)->click();
        } else if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            ++menus;
            for (QAction* action : menu->actions())
                if (!menuChoice.isEmpty() && action->text() == menuChoice)
                    menu->setActiveAction(action);
            QTest::keyClick(menu, menuChoice.isEmpty() ? Qt::Key_Escape : Qt::Key_Return);
        }
    }

    QString menuChoice;
    QTimer timer;
    QPointer<QMessageBox> handled;
};

// What OnInitDialog loads: logging off, the numeric endpoint form, the given period.
inline void StoreSettings(std::uint32_t refreshMs)
{
    oProp.SetDefaults();
    oProp.SetLogEnabled(0);
    oProp.SetShowHost(0);
    oProp.SetRefreshTime(refreshMs);
    oProp.Save();
}

// A main window started on the test library with a failed first snapshot: set
// up and reported, with no scan thread, so ScanOnce takes each next snapshot.
class StartedWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FakeSetTcpHook(nullptr);
        FakeSetFailure(31);
        QFile::remove(WindowStateFile());
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
        ScreenUser user;
        EXPECT_FALSE(dialog.OnInitDialog());
        startReports = user.boxes;
        FakeSetFailure(0);
    }

    CMainDlg dialog;
    QStringList startReports;
};

} // namespace uitest
