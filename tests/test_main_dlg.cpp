#include <QClipboard>
#include <QHeaderView>
#include <QScreen>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "monitor/host_cache.h"
#include "platform/last_error.h"
#include "tests/ui_test_support.h"
#include "ui/new_line_marks.h"

using namespace uitest;

namespace {

TEST_F(StartedWindowTest, ErrorBoxNamesTheCallTheCodeAndItsTextThenTheWindowHides)
{
    dialog.show();
    ScreenUser user;
    SetLastError(EIO);
    dialog.ReportApiError("GetConnectionTable");
    EXPECT_EQ(user.boxes, QStringList(QString("ERROR: API        = GetConnectionTable\n"
                                              "       error code = 5\n"
                                              "       message    = ") +
                                      std::strerror(EIO) + "\n"));
    EXPECT_TRUE(dialog.isHidden());
}

TEST(MainDlgStart, LibraryWithoutUdpTableEndsTheProgram)
{
    StoreSettings(100);
    ScreenUser user;
    CMainDlg dialog;
    dialog.SetIpHelperDirectory(TCP_ONLY_IPHLPAPI_DIR);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_FALSE(dialog.IsScanning());
    ASSERT_EQ(user.boxes.size(), 1);
    EXPECT_TRUE(user.boxes[0].startsWith("ERROR: API        = GetProcAddress\n"));
}

// The list after each refill, and its first line as Ctrl+C copies it; the
// failed first snapshot left four empty columns.
TEST_F(StartedWindowTest, ListShowsTheRowsAndTextsOfEachRefill)
{
    ASSERT_EQ(startReports.size(), 1);
    EXPECT_TRUE(startReports[0].startsWith("ERROR: API        = GetConnectionTable\n"));
    auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
    QAbstractItemModel* model = list->model();
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->columnCount(), 4);
    hostCache.SetName(inet_addr("10.1.2.3"), "gateway.test");
    using Lines = std::vector<std::vector<std::string>>;
    QStringList copied;
    const std::pair<int, Lines> cases[] = {
        {0,
         {{"TCP", " 10.  1.  2.  3:40000", " 10.  1.  2.  3:  443", "ESTABLISHED"},
          {"UDP", " 10.  1.  2.  3:   53", "*.*", " "}}},
        {1,
         {{"TCP", "gateway.test:40000", "gateway.test:https", "ESTABLISHED"},
          {"UDP", "gateway.test:domain", "*.*", " "}}},
        {1, {}},
    };
    for (const auto& [showHost, expected] : cases) {
        SCOPED_TRACE(showHost);
        if (expected.empty())
            SetRows({}, {});
        else
            SetRows({Tcp(5, "10.1.2.3", 40000, "10.1.2.3", 443)}, {Udp("10.1.2.3", 53)});
        // Applied properties ask for a refill of the same endpoints this way.
        oProp.SetShowHost(showHost);
        oProp.changed = 1;
        dialog.ScanOnce();
        Lines shown(model->rowCount());
        for (int row = 0; row < model->rowCount(); ++row)
            for (int column = 0; column < model->columnCount(); ++column)
                shown[row].push_back(model->index(row, column).data().toString().toStdString());
        EXPECT_EQ(shown, expected);
        if (expected.empty())
            continue;
        list->setCurrentIndex(model->index(0, 2));
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        copied << QGuiApplication::clipboard()->text();
    }
    EXPECT_EQ(copied,
              QStringList({"TCP\t 10.  1.  2.  3:40000\t 10.  1.  2.  3:  443\tESTABLISHED\n",
                           "TCP\tgateway.test:40000\tgateway.test:https\tESTABLISHED\n"}));
}

// Listeners on 127.0.0.1 at the given ports, one line each.
void SetListeners(const std::vector<std::uint16_t>& ports)
{
    std::vector<MIB_TCPROW> rows;
    for (std::uint16_t port : ports)
        rows.push_back(Tcp(2, "127.0.0.1", port, "0.0.0.0", 0));
    SetRows(rows, {});
}

std::vector<std::uint16_t> PortsFrom(std::uint16_t first, int count)
{
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < count; ++i)
        ports.push_back(std::uint16_t(first + i));
    return ports;
}

QString LocalText(const QModelIndex& index)
{
    return index.siblingAtColumn(1).data().toString();
}

// A line opens above the selected one and the one on top: both stay where the
// user left them, and the keys act on the same line as before.
TEST_F(StartedWindowTest, RefillKeepsTheSelectedLineAndTheLineOnTop)
{
    dialog.show();
    auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
    QAbstractItemModel* model = list->model();
    SetListeners(PortsFrom(1000, 60));
    dialog.ScanOnce();
    list->setCurrentIndex(model->index(30, 1));
    list->scrollTo(model->index(20, 0), QAbstractItemView::PositionAtTop);
    ASSERT_EQ(LocalText(list->indexAt(QPoint(0, 0))), "127.  0.  0.  1: 1020");

    std::vector<std::uint16_t> ports = PortsFrom(1000, 60);
    ports.insert(ports.begin() + 5, 999);
    ports.erase(ports.begin() + 40);
    SetListeners(ports);
    dialog.ScanOnce();
    EXPECT_EQ(LocalText(list->indexAt(QPoint(0, 0))), "127.  0.  0.  1: 1020");
    EXPECT_EQ(LocalText(list->currentIndex()), "127.  0.  0.  1: 1030");
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              "TCP\t127.  0.  0.  1: 1030\t  0.  0.  0.  0:    0\tLISTEN\n");
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(LocalText(list->selectionModel()->selectedRows().value(0)), "127.  0.  0.  1: 1031");

    // A selected line that closes leaves nothing selected.
    ports.erase(ports.begin() + 32);
    SetListeners(ports);
    dialog.ScanOnce();
    EXPECT_TRUE(list->selectionModel()->selectedRows().isEmpty());
}

// The texts of `column` of each shown line, top to bottom.
QStringList ColumnTexts(const QTreeView* list, int column)
{
    QStringList texts;
    for (int row = 0; row < list->model()->rowCount(); ++row)
        texts << list->model()->index(row, column).data().toString();
    return texts;
}

void ClickHeading(QTreeView* list, int column)
{
    QHeaderView* header = list->header();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(column) + 4, header->height() / 2));
}

// Header clicks sort by the numbers of the endpoints, through refills; a
// filter shows the lines that hold its text, blanks or not, and the title
// counts them; "Copy all" copies what is shown, as it is shown.
TEST_F(StartedWindowTest, SortFilterAndCopyAllActOnTheShownLines)
{
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
    std::vector<MIB_TCPROW> tcp = {Tcp(5, "10.0.0.10", 40000, "192.168.1.9", 443),
                                   Tcp(2, "127.0.0.1", 8080, "0.0.0.0", 0),
                                   Tcp(5, "10.0.0.2", 22, "10.0.0.9", 50000)};
    SetRows(tcp, {Udp("0.0.0.0", 53)});
    dialog.ScanOnce();
    const QStringList kernel = ColumnTexts(list, 1);
    const QStringList byLocal = {"  0.  0.  0.  0:   53", " 10.  0.  0.  2:   22",
                                 " 10.  0.  0. 10:40000", "127.  0.  0.  1: 8080"};
    ClickHeading(list, 1);
    EXPECT_EQ(ColumnTexts(list, 1), byLocal);
    list->setCurrentIndex(list->model()->index(0, 1));
    QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "UDP\t  0.  0.  0.  0:   53\t*.*\t \n");
    tcp.push_back(Tcp(5, "10.0.0.3", 1024, "10.0.0.2", 22));
    SetRows(tcp, {Udp("0.0.0.0", 53)});
    dialog.ScanOnce();
    EXPECT_EQ(ColumnTexts(list, 1).value(2), " 10.  0.  0.  3: 1024");
    ClickHeading(list, 3);
    tcp[3].dwState = 8;
    SetRows(tcp, {Udp("0.0.0.0", 53)});
    dialog.ScanOnce();
    EXPECT_EQ(ColumnTexts(list, 3),
              QStringList({" ", "CLOSE_WAIT", "ESTABLISHED", "ESTABLISHED", "LISTEN"}));
    ClickHeading(list, 2);
    ClickHeading(list, 2);
    EXPECT_EQ(ColumnTexts(list, 2).first(), "192.168.  1.  9:  443");

    QTest::keyClick(list, Qt::Key_F, Qt::ControlModifier);
    auto* filter = dialog.findChild<QLineEdit*>("IDC_FILTER");
    ASSERT_TRUE(filter->isVisible());
    EXPECT_EQ(filter->accessibleName(), "Filter");
    EXPECT_LT(filter->geometry().top(), dialog.findChild<QPushButton*>("IDC_PROPERTIES")->y());
    EXPECT_LT(list->geometry().bottom(), filter->y());
    QTest::keyClicks(filter, "10.0.0.2");
    EXPECT_EQ(ColumnTexts(list, 1),
              QStringList({" 10.  0.  0.  2:   22", " 10.  0.  0.  3: 1024"}));
    EXPECT_EQ(dialog.windowTitle(), "Quillon (2 of 5)");
    SetRows(tcp, {Udp("0.0.0.0", 53), Udp("10.0.0.2", 67)});
    dialog.ScanOnce();
    EXPECT_EQ(dialog.windowTitle(), "Quillon (3 of 6)");

    {
        ScreenUser user("Copy all");
        QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    }
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(),
              "Protocol\tLocal Address\tRemote Address\tState\n"
              "TCP\t 10.  0.  0.  2:   22\t 10.  0.  0.  9:50000\tESTABLISHED\n"
              "TCP\t 10.  0.  0.  3: 1024\t 10.  0.  0.  2:   22\tCLOSE_WAIT\n"
              "UDP\t 10.  0.  0.  2:   67\t*.*\t \n");

    QTest::keyClick(filter, Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_FALSE(filter->isVisible());
    EXPECT_EQ(dialog.windowTitle(), "Quillon");
    ClickHeading(list, 2);
    QStringList now = ColumnTexts(list, 1);
    now.removeAll(" 10.  0.  0.  3: 1024");
    now.removeAll(" 10.  0.  0.  2:   67");
    EXPECT_EQ(now, kernel);
}

// Paused, the list holds still while the scans go on and dump each change;
// the same again shows the latest at once.
TEST_F(StartedWindowTest, PauseHoldsTheListWhileTheDumpsGoOn)
{
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
    std::remove("pause.log");
    oProp.SetLogEnabled(1);
    oProp.SetLogFileName("pause.log");
    SetListeners({41000});
    dialog.ScanOnce();
    QTest::keyClick(list, Qt::Key_Pause);
    EXPECT_EQ(dialog.windowTitle(), "Quillon (paused)");
    for (std::uint16_t port : {42000, 43000}) {
        SetListeners({port});
        dialog.ScanOnce();
    }
    EXPECT_EQ(ColumnTexts(list, 1), QStringList("127.  0.  0.  1:41000"));
    {
        ScreenUser user("Pause list");
        QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
    }
    EXPECT_EQ(dialog.windowTitle(), "Quillon");
    EXPECT_EQ(ColumnTexts(list, 1), QStringList("127.  0.  0.  1:43000"));

    oProp.SetLogEnabled(0);
    const CONN_TABLE none{};
    dialog.DumpToLogFile(&none); // closes the log
    const std::string log = ReadText("pause.log");
    for (const char* port : {"41000", "42000", "43000"})
        EXPECT_NE(log.find(port), std::string::npos) << port << " not dumped in\n" << log;
}

// A line that the refill before did not have is marked for a while, also
// where a later refill moves it; the first refill marks nothing.
TEST_F(StartedWindowTest, NewLinesAreMarkedForAWhile)
{
    QAbstractItemModel* model = dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model();
    dialog.findChild<CNewLineMarks*>()->SetMarkTime(50);
    const QColor base = QGuiApplication::palette().base().color();
    const QColor highlight = QGuiApplication::palette().highlight().color();
    auto marked = [&] {
        QStringList ports;
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row, 3);
            const QVariant tint = index.data(Qt::BackgroundRole);
            const bool isNew = index.data(Qt::AccessibleDescriptionRole) == "new";
            EXPECT_EQ(tint.isValid(), isNew);
            // Toward the highlight from the base, and nearer the base.
            const int blue = tint.value<QBrush>().color().blue();
            if (isNew && blue != base.blue() &&
                std::abs(blue - base.blue()) < std::abs(blue - highlight.blue()))
                ports << LocalText(index).right(4);
        }
        return ports;
    };
    // An IPv6 listener on [::]:1004 throughout, one on [::]:1003 at the last refill.
    oProp.SetScanIpv6(1);
    MIB_TCP6ROW v6[2] = {{2, {}, 0, htons(1003), {}, 0, 0}, {2, {}, 0, htons(1004), {}, 0, 0}};
    const std::pair<std::vector<std::uint16_t>, QStringList> refills[] = {
        {{1000, 1001}, {}},
        {{999, 1000, 1001, 1002}, {" 999", "1002"}},
        {{998, 999, 1001, 1002}, {" 998", " 999", "1002", "1003"}},
    };
    for (const auto& [ports, expected] : refills) {
        SetListeners(ports);
        const bool last = &expected == &refills[2].second;
        FakeSetTcp6Rows(last ? v6 : v6 + 1, last ? 2 : 1);
        dialog.ScanOnce();
        EXPECT_EQ(marked(), expected);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return marked().isEmpty(); }, 2000));
}

// The windows open where the user left them, within reach of the screen; a
// damaged state file gives the template's size.
TEST(MainDlgStart, WindowsOpenWhereTheyWereLeft)
{
    QFile::remove(WindowStateFile());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize least = CMainDlg().minimumSize();
    for (QPoint at : {QPoint(30, 20), screen.bottomRight() + QPoint(500, 500)}) {
        QRect left[2];
        {
            CMainDlg dialog;
            CPropDlg properties;
            dialog.show();
            properties.show();
            dialog.setGeometry(QRect(at, least + QSize(120, 90)));
            properties.move(at + QPoint(40, 40));
            left[0] = dialog.frameGeometry();
            left[1] = properties.frameGeometry();
            properties.hide();
            dialog.hide();
        }
        CMainDlg dialog;
        CPropDlg properties;
        dialog.show();
        properties.show();
        EXPECT_EQ(dialog.size(), least + QSize(120, 90));
        // Within reach: the window itself, if not the whole of its border.
        EXPECT_TRUE(screen.contains(dialog.geometry()) && screen.contains(properties.geometry()));
        if (screen.contains(at)) {
            EXPECT_TRUE(dialog.frameGeometry() == left[0] && properties.frameGeometry() == left[1]);
        }
    }
    QFile file(WindowStateFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[MainWindow]\ngeometry=@ByteArray(\\x1\\xd9\\xd0)\n\xff\x01[");
    file.close();
    EXPECT_EQ(CMainDlg().size(), least);
}

CMainDlg* closingDialog = nullptr;

// From the first snapshot of the scan thread on, OnOK is on its way and the
// endpoints change, so the step under way refills and dumps.
void CloseDuringTheFirstScan()
{
    static std::atomic<bool> done{false};
    if (QThread::currentThread() == QCoreApplication::instance()->thread() || done.exchange(true))
        return;
    QMetaObject::invokeMethod(
        closingDialog, [] { closingDialog->OnOK(); }, Qt::QueuedConnection);
    SetRows({Tcp(5, "127.0.0.1", 40000, "127.0.0.1", 22)}, {});
}

// The tables are freed only after the scan thread ends (use after free shows
// in the ASan build).
TEST(MainDlgClose, OnOKDuringARefillLetsTheStepFinish)
{
    StoreSettings(100);
    oProp.SetLogEnabled(1);
    oProp.SetLogFileName("refill.log");
    oProp.Save();
    FakeSetFailure(0);
    SetRows({Tcp(2, "0.0.0.0", 22, "0.0.0.0", 0)}, {Udp("127.0.0.1", 323)});
    FakeSetTcpHook(&CloseDuringTheFirstScan);
    ScreenUser user;
    CMainDlg dialog;
    closingDialog = &dialog;
    dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    FakeSetTcpHook(nullptr);
    EXPECT_TRUE(dialog.IsEnded());
    EXPECT_FALSE(dialog.IsScanning());
    EXPECT_EQ(dialog.findChild<QTreeView*>("IDC_CONN_LIST")->model()->rowCount(), 1);
    EXPECT_TRUE(user.boxes.empty());
    // The last dump: its stamp and its one row.
    const std::vector<std::string> log = ReadLines("refill.log");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.end()[-2].rfind("<<", 0), 0u);
    EXPECT_NE(log.back().find("ESTABLISHED"), std::string::npos);
}

// The scan thread waits on its error box, and a validation message of the
// properties dialog, still usable, stands over it: OnOK answers both.
TEST(MainDlgClose, OnOKWithNestedBoxesOpenEnds)
{
    StoreSettings(100);
    FakeSetFailure(0);
    FakeSetTcpHook([] {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            FakeSetFailure(31);
    });
    CMainDlg dialog;
    dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
    QStringList boxes;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || boxes.contains(box->text()))
            return;
        if (box->text().startsWith("ERROR: API        = AddStatusIcon\n"))
            return box->button(QMessageBox::Ok)->click();
        boxes.push_back(box->text());
        if (boxes.size() == 2)
            return dialog.OnOK();
        dialog.ShowPropDlg();
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* properties = qobject_cast<CPropDlg*>(window)) {
                properties->findChild<QLineEdit*>("IDC_REFRESH")->setText("abc");
                QTimer::singleShot(0, properties, [properties] { properties->OnOK(); });
            }
    });
    user.start(5);
    EXPECT_EQ(dialog.DoModal(), IDOK);
    FakeSetTcpHook(nullptr);
    FakeSetFailure(0);
    EXPECT_FALSE(dialog.IsScanning());
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_EQ(boxes[1], "Please enter a positive integer.");
}

} // namespace
