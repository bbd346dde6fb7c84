#include "ui/list_columns.h"

#include <QFont>
#include <QHeaderView>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyleOptionViewItem>
#include <QTreeView>

#include <net/if.h>

#include <algorithm>
#include <cstdint>

#include "monitor/row_text.h"
#include "ui/conn_list_model.h"

namespace {

constexpr std::uint32_t kLastState = 12;

// The longest numeric IPv6 endpoint: eight full groups, a link-local scope
// with an interface name as long as the kernel allows, the largest port.
QString LongestEndpoint6Text()
{
    std::uint8_t address[16];
    std::fill(std::begin(address), std::end(address), 0xFF);
    address[0] = 0xFE;
    address[1] = 0xBF;
    char text[kCellTextSize];
    FormatNumericEndpoint6(address, 0, 65535, text, sizeof text);
    QString longest = QString::fromLatin1(text);
    longest.insert(longest.indexOf(QLatin1Char(']')),
                   QLatin1Char('%') + QString(IF_NAMESIZE - 1, QLatin1Char('W')));
    return longest;
}

QStringList CellTexts(int column, bool ipv6)
{
    char text[32];
    switch (column) {
    case 0:
        if (ipv6)
            return {QStringLiteral("TCPv6"), QStringLiteral("UDPv6")};
        return {QStringLiteral("TCP"), QStringLiteral("UDP")};
    case 1:
    case 2:
        if (ipv6)
            return {LongestEndpoint6Text()};
        FormatNumericEndpoint(0xFFFFFFFF, 65535, text, sizeof text);
        return {QString::fromLatin1(text), QString::fromLatin1(kNoRemoteText)};
    default: {
        QStringList states;
        for (std::uint32_t state = 0; state <= kLastState; ++state) {
            GetStateName(state, text);
            states << QString::fromLatin1(text);
        }
        return states;
    }
    }
}

} // namespace

int ListColumnTextWidth(const QTreeView& list, const QFont& endpointFont, int column, bool ipv6)
{
    // Measured as the header and the item delegate measure before they cut a text.
    QStyle* style = list.style();
    QStyleOptionHeader heading;
    heading.initFrom(list.header());
    heading.text = QString::fromLatin1(kListColumns[column].heading);
    // The header measures in bold, so that a highlighted heading fits too.
    QFont bold = list.header()->font();
    bold.setBold(true);
    heading.fontMetrics = QFontMetrics(bold);
    const QSize headingSize =
        style->sizeFromContents(QStyle::CT_HeaderSection, &heading, QSize(), list.header());
    int width = headingSize.width();
    // Room for the arrow of a sorted column, as the header makes it.
    if (list.header()->isSortIndicatorShown())
        width += headingSize.height() +
                 style->pixelMetric(QStyle::PM_HeaderMargin, &heading, list.header());

    QStyleOptionViewItem cell;
    cell.initFrom(&list);
    cell.features = QStyleOptionViewItem::HasDisplay;
    cell.font = CConnListModel::IsEndpointColumn(column) ? endpointFont : list.font();
    cell.fontMetrics = QFontMetrics(cell.font);
    // And a blank, so that a full column's text does not run into the next.
    int blank = cell.fontMetrics.horizontalAdvance(QLatin1Char(' '));
    for (const QString& text : CellTexts(column, ipv6)) {
        cell.text = text;
        QSize size = style->sizeFromContents(QStyle::CT_ItemViewItem, &cell, QSize(), &list);
        width = std::max(width, size.width() + blank);
    }
    return width;
}
