#pragma once

// What the widget tests share: the test IP helper library's controls and a
// watcher that answers message boxes.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>

#include <functional>
#include <vector>

#include "platform/module_loader.h"
#include "settings/prop.h"
#include "tests/fake_iphlpapi/fake_control.h"
#include "ui/main_dlg.h"

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
    void Reset()
    {
        SetRows({}, {});
        Fail(0);
        SetHook(nullptr);
    }

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

// Records each modal message box and answers it with OK or with `onBox`. The
// start-up report of a missing notification area, which the offscreen
// platform always gives, is only answered with OK.
class BoxWatcher {
public:
    BoxWatcher()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
        timer.start(10);
    }

    std::vector<BoxRecord> boxes;
    std::function<void(QMessageBox*)> onBox;

private:
    void Poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box == handled)
            return;
        handled = box;
        bool startupReport = box->text().startsWith("ERROR: API        = AddStatusIcon\n");
        if (!startupReport)
            boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
        if (onBox && !startupReport)
            onBox(box);
        else
            box->button(QMessageBox::Ok)->click();
    }

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

} // namespace uitest
