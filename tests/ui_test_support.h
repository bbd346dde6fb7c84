#pragma once

// What the widget tests share: the test IP helper library's controls, a user
// who answers boxes and menus, and a started main window.
#include <gtest/gtest.h>

#include <QAbstractButton>
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

#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/module_loader.h"
#include "settings/prop.h"
#include "tests/fake_iphlpapi/fake_control.h"
#include "ui/about_dlg.h"
#include "ui/main_dlg.h"
#include "ui/prop_dlg.h"

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

// The main window's loader opens the same file, so both share its tables.
class FakeIpHelper {
public:
    FakeIpHelper() : module(LoadLibraryFromDirectory(FAKE_IPHLPAPI_DIR, "iphlpapi.dll")) {}
    bool Loaded() const { return module != nullptr; }

    void SetRows(const std::vector<MIB_TCPROW>& tcp, const std::vector<MIB_UDPROW>& udp)
    {
        Proc<decltype(&FakeSetTcpRows)>("FakeSetTcpRows")(tcp.data(), std::uint32_t(tcp.size()));
        Proc<decltype(&FakeSetUdpRows)>("FakeSetUdpRows")(udp.data(), std::uint32_t(udp.size()));
    }
    void Fail(std::uint32_t code) { Proc<decltype(&FakeSetFailure)>("FakeSetFailure")(code); }
    void SetHook(FakeTableHook hook) { Proc<decltype(&FakeSetTcpHook)>("FakeSetTcpHook")(hook); }

private:
    template <typename Fn> Fn Proc(const char* name)
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }
    HMODULE module;
};

struct BoxRecord {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

// The user at the screen: records each message box and answers it with OK or
// with `onBox`, closes About boxes, and answers a popup menu with the item
// named `menuChoice`, or with Esc when that is empty. The start-up report of
// a missing notification area, which the offscreen platform always gives, is
// only answered with OK.
class ScreenUser {
public:
    explicit ScreenUser(QString choice = {}) : menuChoice(std::move(choice))
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
        timer.start(5);
    }

    std::vector<BoxRecord> boxes;
    std::function<void(QMessageBox*)> onBox;
    int aboutBoxes = 0;
    int menus = 0;
    QPoint menuAt;
    QString menuFirstItem;

private:
    // The timer does not fire again while this runs, nested loops and all.
    void Poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (auto* about = qobject_cast<CAboutDlg*>(modal)) {
            ++aboutBoxes;
            about->accept();
        } else if (box != nullptr && box != handled) {
            handled = box;
            bool startupReport = box->text().startsWith("ERROR: API        = AddStatusIcon\n");
            if (!startupReport)
                boxes.push_back(
                    {box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
            if (onBox && !startupReport)
                onBox(box);
            else
                box->button(QMessageBox::Ok)->click();
        } else if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            ++menus;
            menuAt = menu->pos();
            menuFirstItem = menu->actions().value(0)->text();
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

// The properties dialog that OnInitDialog created.
inline CPropDlg* FindPropDlg()
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* properties = qobject_cast<CPropDlg*>(window))
            return properties;
    return nullptr;
}

inline std::vector<std::string> ReadLines(const char* path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

// A main window started on the test library with a failed first snapshot: set
// up and reported, with no scan thread, so ScanOnce takes each next snapshot.
class StartedWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.Loaded()) << "test library missing in " << FAKE_IPHLPAPI_DIR;
        fake.SetHook(nullptr);
        fake.Fail(31);
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
        ScreenUser user;
        EXPECT_FALSE(dialog.OnInitDialog());
        startReports = user.boxes;
        fake.Fail(0);
        propDlg = FindPropDlg();
        ASSERT_NE(propDlg, nullptr);
    }

    FakeIpHelper fake;
    CMainDlg dialog;
    std::vector<BoxRecord> startReports;
    CPropDlg* propDlg = nullptr;
};

} // namespace uitest
