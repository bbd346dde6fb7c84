#include "ui/ipv6_column_widths.h"

#include <QTreeView>

#include "ui/list_columns.h"

CIpv6ColumnWidths::CIpv6ColumnWidths(QTreeView* view, const CConnListModel* lines)
    : QObject(view), m_view(view), m_lines(lines)
{
    connect(lines, &CConnListModel::RefillDone, this, &CIpv6ColumnWidths::Update);
}

void CIpv6ColumnWidths::Update()
{
    // IPv6 lines come after the IPv4 ones, so the last line tells.
    const CONN_LINE* last = m_lines->LineAt(m_lines->rowCount() - 1);
    const bool ipv6 = last != nullptr && last->ipv6;
    if (ipv6 == m_widened)
        return;
    if (m_wideWidth == 0)
        m_wideWidth = ListColumnTextWidth(*m_view, m_lines->EndpointFont(), 1, true);
    for (int column = 0; column < kConnLineColumns && column < m_lines->columnCount(); ++column) {
        if (!CConnListModel::IsEndpointColumn(column))
            continue;
        if (ipv6) {
            m_narrowWidths[column] = m_view->columnWidth(column);
            if (m_narrowWidths[column] < m_wideWidth)
                m_view->setColumnWidth(column, m_wideWidth);
        } else if (m_view->columnWidth(column) == m_wideWidth) {
            m_view->setColumnWidth(column, m_narrowWidths[column]);
        }
    }
    m_widened = ipv6;
}
