#include <QTreeView>

#include <string>
#include <utility>
#include <vector>

#include "monitor/host_cache.h"
#include "platform/name_lookup.h"
#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

using Lines = std::vector<std::vector<std::string>>;

// Counts the list-changed messages that reach the window.
struct ListChangedCounter : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        count += e->type() == WM_LISTCHANGED ? 1 : 0;
        return false;
    }
};

// A failed first snapshot is reported and leaves four empty columns and no
// scan thread, so each ScanOnce here takes the next snapshot and refills.
TEST(ConnList, RowsAndTextsOfEachRefill)
{
    FakeIpHelper fake;
    ASSERT_TRUE(fake.Loaded());
    fake.Fail(31);
    StoreSettings(100);
    ScreenUser user;
    CMainDlg dialog;
    dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    EXPECT_FALSE(dialog.OnInitDialog());
    ASSERT_EQ(user.boxes.size(), 1u);
    EXPECT_TRUE(user.boxes[0].text.startsWith("ERROR: API        = GetConnectionTable\n"));
    ASSERT_FALSE(dialog.IsScanning());
    QAbstractItemModel* model = dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model();
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->columnCount(), 4);

    fake.Fail(0);
    ListChangedCounter listChanged;
    dialog.installEventFilter(&listChanged);
    hostCache.SetName(inet_addr("10.1.2.3"), "gateway.test");
    char name[256] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    const std::string host = name;
    const std::pair<int, Lines> cases[] = {
        {0,
         {{"TCP", "  0.  0.  0.  0:  135", "  0.  0.  0.  0:    0", "LISTEN"},
          {"TCP", "127.  0.  0.  1:40000", " 10.  1.  2.  3:  443", "ESTABLISHED"},
          {"TCP", "127.  0.  0.  1: 5000", "127.  0.  0.  1: 6000", "UNC"},
          {"UDP", "  0.  0.  0.  0:   53", "*.*", " "}}},
        {1,
         {{"TCP", host + ":epmap", host + ":0", "LISTEN"},
          {"TCP", host + ":40000", "gateway.test:https", "ESTABLISHED"},
          {"TCP", host + ":5000", host + ":6000", "UNC"},
          {"UDP", host + ":domain", "*.*", " "}}},
        {1, {}},
    };
    int refills = 0;
    for (const auto& [showHost, expected] : cases) {
        SCOPED_TRACE(refills);
        if (expected.empty())
            fake.SetRows({}, {});
        else
            fake.SetRows({Tcp(2, "0.0.0.0", 135, "0.0.0.0", 0),
                          Tcp(5, "127.0.0.1", 40000, "10.1.2.3", 443),
                          Tcp(12, "127.0.0.1", 5000, "127.0.0.1", 6000)},
                         {Udp("0.0.0.0", 53)});
        // Applied properties ask for a refill of the same endpoints this way.
        oProp.SetShowHost(showHost);
        oProp.changed = 1;
        dialog.ScanOnce();
        QCoreApplication::processEvents();
        EXPECT_EQ(listChanged.count, ++refills);

        Lines shown(model->rowCount());
        for (int row = 0; row < model->rowCount(); ++row)
            for (int column = 0; column < model->columnCount(); ++column)
                shown[row].push_back(model->index(row, column).data().toString().toStdString());
        EXPECT_EQ(shown, expected);
    }
    // Without a scan thread the close is over at once.
    dialog.OnOK();
    EXPECT_TRUE(dialog.IsEnded());
}

} // namespace
