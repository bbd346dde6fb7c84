// The three windows at the desktop font sizes users run: every text shows
// uncut in the desktop's font, the list's columns fit it without scrolling
// sideways, and no group box frame crosses a control. CTest runs this at 96,
// 120 and 144 dpi (--font-dpi).
#include <QFontMetricsF>
#include <QGroupBox>
#include <QHeaderView>
#include <QScrollBar>

#include <vector>

#include "tests/ui_test_support.h"
#include "ui/about_dlg.h"

using namespace uitest;

namespace {

constexpr qreal kPointSizes[] = {9, 10, 11, 12};

// The desktop's general font; each case sets its own size.
void SetDesktopFont(qreal points)
{
    QFont font = QApplication::font();
    font.setPointSizeF(points);
    QApplication::setFont(font);
}

// Each control of `window` lies inside it, shows its whole text, and stays
// clear of the frame of a group box it meets. A window that `grows` has no
// greatest size; the others have one size.
void ExpectControlsFit(QWidget& window, bool grows = false)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.font().toString(), QApplication::font().toString());
    if (grows)
        EXPECT_EQ(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    else
        EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "resizable";
    const auto groups = window.findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly);
    for (QWidget* control : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<QGroupBox*>(control) != nullptr || !control->isVisible())
            continue;
        SCOPED_TRACE(control->objectName().toStdString());
        QRect place = control->geometry();
        EXPECT_TRUE(window.rect().contains(place));
        // An edit's text scrolls; every other text shows whole.
        if (qobject_cast<QLineEdit*>(control) == nullptr &&
            !control->property("text").toString().isEmpty()) {
            EXPECT_GE(place.width(), control->sizeHint().width());
        }
        for (const QGroupBox* group : groups) {
            QRect frame = group->geometry();
            if (!frame.intersects(place))
                continue;
            EXPECT_TRUE(frame.marginsRemoved(group->contentsMargins()).contains(place))
                << "on the frame of " << group->title().toStdString();
        }
    }
}

TEST(DialogLayout, PropertiesAndAboutShowTheirTextsInTheDesktopFont)
{
    for (qreal points : kPointSizes) {
        SCOPED_TRACE(points);
        SetDesktopFont(points);
        CPropDlg properties;
        ExpectControlsFit(properties);
        CAboutDlg about;
        ExpectControlsFit(about);
    }
}

TEST(DialogLayout, ListShowsEveryTextUncutWithoutScrollingSideways)
{
    // One line per state with the widest endpoints, and lines enough to scroll.
    std::vector<MIB_TCPROW> tcp;
    for (std::uint32_t state = 1; state <= 12; ++state)
        tcp.push_back(Tcp(state, "255.255.255.255", 65535, "255.255.255.255", 65535));
    for (std::uint16_t port = 1; port <= 40; ++port)
        tcp.push_back(Tcp(5, "127.0.0.1", port, "127.0.0.1", 65535));
    SetRows(tcp, {Udp("255.255.255.255", 65535)});
    // The widest IPv6 texts have a scope with no interface: ten digits, where
    // an interface's name may take fifteen.
    MIB_TCP6ROW tcp6{5, {0xfe, 0xbf}, ~0u, htons(65535), {}, ~0u, htons(65535)};
    std::fill(tcp6.LocalAddr + 2, tcp6.LocalAddr + 16, 0xFF);
    std::copy(tcp6.LocalAddr, tcp6.LocalAddr + 16, tcp6.RemoteAddr);
    const MIB_UDP6ROW udp6{};
    FakeSetTcp6Rows(&tcp6, 1);
    FakeSetUdp6Rows(&udp6, 1);
    // IPv6 off at each size, then on (once stored, the option stays stored).
    QSize windowSizes[std::size(kPointSizes)];
    for (std::size_t run = 0; run < 2 * std::size(kPointSizes); ++run) {
        const bool ipv6 = run >= std::size(kPointSizes);
        const qreal points = kPointSizes[run % std::size(kPointSizes)];
        SCOPED_TRACE(testing::Message() << points << (ipv6 ? " with IPv6" : ""));
        SetDesktopFont(points);
        StoreSettings(10000);
        oProp.SetScanIpv6(ipv6);
        oProp.Save();
        ScreenUser user;
        CMainDlg dialog;
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
        ASSERT_TRUE(dialog.OnInitDialog());
        // It opens at its least size, the template's, with or without IPv6
        // lines; the list scrolls to the wider columns.
        EXPECT_EQ(dialog.size(), dialog.minimumSize());
        ExpectControlsFit(dialog, true);
        QSize& windowSize = windowSizes[run % std::size(kPointSizes)];
        EXPECT_EQ(dialog.size(), ipv6 ? windowSize : (windowSize = dialog.size()));

        auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
        QAbstractItemModel* model = list->model();
        ASSERT_EQ(model->rowCount(), ipv6 ? 55 : 53);
        EXPECT_TRUE(list->verticalScrollBar()->isVisible());
        EXPECT_EQ(list->horizontalScrollBar()->isVisible(), ipv6);
        // As the header and the view measure a text before they cut it.
        const QAbstractItemView* view = list;
        const QFont endpoint = model->index(0, 1).data(Qt::FontRole).value<QFont>();
        const int moreDigits = ipv6 ? QFontMetrics(endpoint).horizontalAdvance("12345") : 0;
        for (int column = 0; column < model->columnCount(); ++column) {
            SCOPED_TRACE(column);
            const int more = column == 1 || column == 2 ? moreDigits : 0;
            EXPECT_LE(list->header()->sectionSizeHint(column), list->columnWidth(column));
            EXPECT_LE(view->sizeHintForColumn(column) + more, list->columnWidth(column));
        }
        // The blank-padded endpoint texts line up only when every character
        // they can hold is drawn with one advance.
        EXPECT_EQ(endpoint.pointSizeF(), points);
        const QFontMetricsF metrics(endpoint);
        const QString characters = QStringLiteral("0123456789 .:*-[]azAZmiwlWI");
        for (QChar character : characters)
            EXPECT_EQ(metrics.horizontalAdvance(character), metrics.horizontalAdvance(u'0'))
                << "'" << QString(character).toStdString() << "' in "
                << QFontInfo(endpoint).family().toStdString();

        // Grown, the list takes the room and the button stays centred under it.
        auto* button = dialog.findChild<QPushButton*>("IDC_PROPERTIES");
        const QRect listAt = list->geometry();
        const QRect buttonAt = button->geometry();
        dialog.resize(dialog.size() + QSize(300, 200));
        EXPECT_EQ(list->geometry(), listAt.adjusted(0, 0, 300, 200));
        EXPECT_EQ(button->geometry(), buttonAt.translated(150, 200));
        ExpectControlsFit(dialog, true);
    }
}

} // namespace
