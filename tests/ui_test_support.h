#pragma once

// What the widget tests share: a table source they control (the test IP helper
// library), a watcher that answers message boxes, and waits that keep the
// user-interface thread answering.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/module_loader.h"
#include "settings/prop.h"
#include "tests/fake_iphlpapi/fake_control.h"
#include "ui/main_dlg.h"

namespace uitest {

// A guard against hangs only; no test asserts how long anything takes.
inline constexpr int kHangGuardMs = 60000;

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

// The controls of the test library in FAKE_IPHLPAPI_DIR; the main window's
// loader opens the same file and so shares its tables.
class FakeIpHelper {
public:
    FakeIpHelper()
    {
        HMODULE module = LoadLibraryFromDirectory(FAKE_IPHLPAPI_DIR, "iphlpapi.dll");
        if (module == nullptr)
            return;
        setTcp = Proc<decltype(setTcp)>(module, "FakeSetTcpRows");
        setUdp = Proc<decltype(setUdp)>(module, "FakeSetUdpRows");
        setFailure = Proc<decltype(setFailure)>(module, "FakeSetFailure");
        setHook = Proc<decltype(setHook)>(module, "FakeSetTcpHook");
    }
    bool Loaded() const { return setTcp && setUdp && setFailure && setHook; }

    void SetRows(const std::vector<MIB_TCPROW>& tcp, const std::vector<MIB_UDPROW>& udp)
    {
        setTcp(tcp.data(), static_cast<std::uint32_t>(tcp.size()));
        setUdp(udp.data(), static_cast<std::uint32_t>(udp.size()));
    }
    void Fail(std::uint32_t code) { setFailure(code); }
    void SetHook(FakeTableHook hook) { setHook(hook); }
    void Reset()
    {
        SetRows({}, {});
        Fail(0);
        SetHook(nullptr);
    }

private:
    template <typename Fn> static Fn Proc(HMODULE module, const char* name)
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }

    decltype(&FakeSetTcpRows) setTcp = nullptr;
    decltype(&FakeSetUdpRows) setUdp = nullptr;
    decltype(&FakeSetFailure) setFailure = nullptr;
    decltype(&FakeSetTcpHook) setHook = nullptr;
};

struct BoxRecord {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

// Polls for a modal message box, records it and answers it: by default with
// its OK button, or with `onBox` when that is set.
class BoxWatcher {
public:
    BoxWatcher()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
        timer.start();
    }

    std::vector<BoxRecord> boxes;
    std::function<void(QMessageBox*)> onBox;

    // The boxes other than the start-up report of a missing notification area,
    // which the offscreen platform always gives.
    std::vector<BoxRecord> Reports() const
    {
        std::vector<BoxRecord> reports;
        for (const BoxRecord& box : boxes)
            if (!box.text.startsWith(QStringLiteral("ERROR: API        = AddStatusIcon\n")))
                reports.push_back(box);
        return reports;
    }

private:
    void Poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || box == handled)
            return;
        handled = box;
        boxes.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
        if (onBox)
            onBox(box);
        else if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
    }

    QTimer timer;
    QPointer<QMessageBox> handled;
};

// Keeps the user-interface thread answering until `done` holds.
inline bool WaitUntil(const std::function<bool()>& done)
{
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > kHangGuardMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

inline bool WaitForEnd(CMainDlg& dialog)
{
    return WaitUntil([&] { return dialog.IsEnded(); });
}

// Settings that OnInitDialog loads: logging off unless a test wants it, the
// numeric endpoint form, the given period.
inline void StoreSettings(std::uint32_t refreshMs, int showHost = 0)
{
    oProp.SetDefaults();
    oProp.SetLogEnabled(0);
    oProp.SetShowHost(showHost);
    oProp.SetRefreshTime(refreshMs);
    oProp.Save();
}

} // namespace uitest
