#include "ui/list_columns.h"

#include <QFont>
#include <QHeaderView>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QStyleOptionViewItem>
#include <QTreeView>

#include <algorithm>
#include <cstdint>

#include "monitor/row_text.h"
#include "ui/conn_list_model.h"

namespace {

constexpr std::uint32_t kLastState = 12;

QStringList CellTexts(int column)
{
    char text[32];
    switch (column) {
    case 0:
        return {QStringLiteral("TCP"), QStringLiteral("UDP")};
    case 1:
    case 2:
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

int ListColumnTextWidth(const QTreeView& list, const QFont& endpointFont, int column)
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
    for (const QString& text : CellTexts(column)) {
        cell.text = text;
        QSize size = style->sizeFromContents(QStyle::CT_ItemViewItem, &cell, QSize(), &list);
        width = std::max(width, size.width() + blank);
    }
    return width;
}
