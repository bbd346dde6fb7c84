#include <QAbstractItemModel>
#include <QTreeView>

#include <string>
#include <vector>

#include "monitor/host_cache.h"
#include "platform/name_lookup.h"
#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

using Lines = std::vector<std::vector<std::string>>;

// Counts the list-changed messages that reach the window.
class ListChangedCounter : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == WM_LISTCHANGED)
            ++count;
        return false;
    }
};

std::string ComputerName()
{
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return {};
    return name;
}

// A window whose first snapshot failed: buffers and columns are there, no scan
// thread runs, and each ScanOnce on this thread takes the next snapshot.
class ConnListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fake.Loaded());
        fake.Reset();
        fake.Fail(31);
        StoreSettings(100);
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
        dialog.OnInitDialog();
        ASSERT_FALSE(dialog.IsScanning());
        fake.Fail(0);
        dialog.installEventFilter(&listChanged);
    }
    void TearDown() override { fake.Reset(); }

    Lines Shown()
    {
        QAbstractItemModel* model =
            dialog.findChild<QTreeView*>(QStringLiteral("IDC_CONN_LIST"))->model();
        Lines lines;
        for (int row = 0; row < model->rowCount(); ++row) {
            std::vector<std::string> line;
            for (int column = 0; column < model->columnCount(); ++column)
                line.push_back(model->index(row, column).data().toString().toStdString());
            lines.push_back(line);
        }
        return lines;
    }

    void Scan()
    {
        dialog.ScanOnce();
        QCoreApplication::processEvents();
    }

    void SetMixedRows()
    {
        fake.SetRows({Tcp(2, "0.0.0.0", 135, "0.0.0.0", 0),
                      Tcp(5, "127.0.0.1", 40000, "10.1.2.3", 443),
                      Tcp(12, "127.0.0.1", 5000, "127.0.0.1", 6000)},
                     {Udp("0.0.0.0", 53)});
    }

    FakeIpHelper fake;
    BoxWatcher watcher;
    ListChangedCounter listChanged;
    CMainDlg dialog;
};

TEST_F(ConnListTest, NumericTextsOfTcpAndUdpRowsInTableOrder)
{
    SetMixedRows();
    Scan();
    Lines expected = {
        {"TCP", "  0.  0.  0.  0:  135", "  0.  0.  0.  0:    0", "LISTEN"},
        {"TCP", "127.  0.  0.  1:40000", " 10.  1.  2.  3:  443", "ESTABLISHED"},
        {"TCP", "127.  0.  0.  1: 5000", "127.  0.  0.  1: 6000", "UNC"},
        {"UDP", "  0.  0.  0.  0:   53", "*.*", " "},
    };
    EXPECT_EQ(Shown(), expected);
    EXPECT_EQ(listChanged.count, 1);
}

TEST_F(ConnListTest, NamedTextsUseTheComputerNameCachedNamesAndServices)
{
    std::string host = ComputerName();
    ASSERT_FALSE(host.empty());
    hostCache.SetName(inet_addr("10.1.2.3"), "gateway.test");
    oProp.SetShowHost(1);
    SetMixedRows();
    Scan();
    Lines expected = {
        {"TCP", host + ":epmap", host + ":0", "LISTEN"},
        {"TCP", host + ":40000", "gateway.test:https", "ESTABLISHED"},
        {"TCP", host + ":5000", host + ":6000", "UNC"},
        {"UDP", host + ":domain", "*.*", " "},
    };
    EXPECT_EQ(Shown(), expected);
}

TEST_F(ConnListTest, ShowHostSwitchChangesEveryEndpointAtTheNextRefill)
{
    fake.SetRows({Tcp(5, "127.0.0.1", 40000, "127.0.0.1", 22)}, {Udp("127.0.0.1", 323)});
    Scan();
    ASSERT_EQ(Shown()[0][1], "127.  0.  0.  1:40000");

    // Applied properties ask for the refill through `changed`.
    oProp.SetShowHost(1);
    oProp.changed = 1;
    Scan();
    std::string host = ComputerName();
    Lines expected = {
        {"TCP", host + ":40000", host + ":22", "ESTABLISHED"},
        {"UDP", host + ":323", "*.*", " "},
    };
    EXPECT_EQ(Shown(), expected);
    EXPECT_EQ(oProp.changed, 0);
    EXPECT_EQ(listChanged.count, 2);
}

TEST_F(ConnListTest, EmptyTableEmptiesTheListAndStillPostsTheMessage)
{
    SetMixedRows();
    Scan();
    ASSERT_EQ(Shown().size(), 4u);

    fake.SetRows({}, {});
    Scan();
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(listChanged.count, 2);
}

TEST_F(ConnListTest, ScanThreadShowsANewConnection)
{
    CMainDlg running;
    running.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    fake.SetRows({Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0)}, {});
    ASSERT_TRUE(running.OnInitDialog());
    QAbstractItemModel* model =
        running.findChild<QTreeView*>(QStringLiteral("IDC_CONN_LIST"))->model();
    ASSERT_EQ(model->rowCount(), 1);

    fake.SetRows({Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0), Tcp(5, "127.0.0.1", 40000, "127.0.0.1", 22)},
                 {});
    EXPECT_TRUE(WaitUntil([&] { return model->rowCount() == 2; }));
    EXPECT_EQ(model->index(1, 3).data().toString(), QStringLiteral("ESTABLISHED"));

    running.OnOK();
    EXPECT_TRUE(WaitForEnd(running));
}

} // namespace
