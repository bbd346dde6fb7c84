// The three windows at the desktop font sizes users run: every text shows
// uncut in the desktop's font, the list's columns fit it without scrolling
// sideways, and no group box frame crosses a control. CTest runs this at 96,
// 120 and 144 dpi (--font-dpi).
#include <QAbstractButton>
#include <QAccessible>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTreeView>

#include <vector>

#include "tests/ui_test_support.h"

using namespace uitest;

namespace {

constexpr qreal kPointSizes[] = {9, 10, 11, 12};

// The desktop's general font at `points` for one case.
class DesktopFont {
public:
    explicit DesktopFont(qreal points) : saved(QApplication::font())
    {
        QFont font = saved;
        font.setPointSizeF(points);
        QApplication::setFont(font);
    }
    ~DesktopFont() { QApplication::setFont(saved); }

private:
    QFont saved;
};

QString TextOf(const QWidget* control)
{
    if (auto* button = qobject_cast<const QAbstractButton*>(control))
        return button->text();
    if (auto* label = qobject_cast<const QLabel*>(control))
        return label->text();
    return {};
}

// Each control of `window` lies inside it, shows its whole text under its
// text as accessible name, and stays clear of the frame of a group box it meets.
void ExpectControlsFit(QWidget& window)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.font().toString(), QApplication::font().toString());
    EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "resizable";
    const auto groups = window.findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly);
    for (QWidget* control : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<QGroupBox*>(control) != nullptr || !control->isVisible())
            continue;
        SCOPED_TRACE(control->objectName().toStdString());
        QRect place = control->geometry();
        EXPECT_TRUE(window.rect().contains(place));
        QString text = TextOf(control);
        if (!text.isEmpty()) {
            EXPECT_GE(place.width(), control->sizeHint().width());
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
            EXPECT_EQ(accessible->text(QAccessible::Name), text);
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
        DesktopFont font(points);
        CPropDlg properties;
        ExpectControlsFit(properties);
        CAboutDlg about;
        ExpectControlsFit(about);
    }
}

// One line per state with the widest endpoints, and lines enough to scroll.
void SetWidestRows(FakeIpHelper& fake)
{
    std::vector<MIB_TCPROW> tcp;
    for (std::uint32_t state = 1; state <= 12; ++state)
        tcp.push_back(Tcp(state, "255.255.255.255", 65535, "255.255.255.255", 65535));
    for (std::uint16_t port = 1; port <= 40; ++port)
        tcp.push_back(Tcp(5, "127.0.0.1", port, "127.0.0.1", 65535));
    fake.SetRows(tcp, {Udp("255.255.255.255", 65535)});
}

TEST(DialogLayout, ListShowsEveryTextUncutWithoutScrollingSideways)
{
    FakeIpHelper fake;
    ASSERT_TRUE(fake.Loaded());
    SetWidestRows(fake);
    int lastWidth = 0;
    for (qreal points : kPointSizes) {
        SCOPED_TRACE(points);
        DesktopFont font(points);
        StoreSettings(10000);
        ScreenUser user;
        CMainDlg dialog;
        dialog.SetIpHelperDirectory(FAKE_IPHLPAPI_DIR);
        ASSERT_TRUE(dialog.OnInitDialog());
        ExpectControlsFit(dialog);
        EXPECT_GT(dialog.width(), lastWidth) << "the window does not grow with the font";
        lastWidth = dialog.width();

        auto* list = dialog.findChild<QTreeView*>("IDC_CONN_LIST");
        QAbstractItemModel* model = list->model();
        ASSERT_EQ(model->rowCount(), 53);
        EXPECT_TRUE(list->verticalScrollBar()->isVisible());
        EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
        QHeaderView* header = list->header();
        const int headerMargins = 2 * list->style()->pixelMetric(QStyle::PM_HeaderMargin);
        const int cellMargins =
            2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
        for (int column = 0; column < model->columnCount(); ++column) {
            QString heading = model->headerData(column, Qt::Horizontal).toString();
            EXPECT_LE(header->fontMetrics().horizontalAdvance(heading) + headerMargins,
                      header->sectionSize(column))
                << heading.toStdString();
            for (int row = 0; row < model->rowCount(); ++row) {
                QModelIndex cell = model->index(row, column);
                QVariant cellFont = cell.data(Qt::FontRole);
                QFont shown = cellFont.isValid() ? cellFont.value<QFont>() : list->font();
                QString text = cell.data().toString();
                EXPECT_LE(QFontMetrics(shown).horizontalAdvance(text) + cellMargins,
                          list->visualRect(cell).width())
                    << text.toStdString();
                if (column == 1) {
                    EXPECT_EQ(shown.pointSizeF(), points);
                    EXPECT_TRUE(QFontInfo(shown).fixedPitch());
                }
            }
        }
        dialog.OnOK();
        WaitUntilEnded(dialog);
    }
}

} // namespace
