#include "ui/shown_lines.h"

#include <QHeaderView>
#include <QTreeView>

#include <arpa/inet.h>

#include <cstring>
#include <tuple>

#include "ui/conn_list_model.h"

namespace {

// Whether `text` holds `needle` once the blanks that pad its numbers are
// left out: "127.0.0.1:80" is found in "127.  0.  0.  1:   80".
bool ContainsPastBlanks(const QString& text, const QString& needle)
{
    const qsizetype size = text.size();
    for (qsizetype start = 0; start < size; ++start) {
        if (text[start] == QLatin1Char(' '))
            continue;
        qsizetype at = start;
        qsizetype matched = 0;
        while (matched < needle.size() && at < size) {
            if (text[at] == QLatin1Char(' ') && needle[matched] != QLatin1Char(' ')) {
                ++at;
                continue;
            }
            if (text[at].toCaseFolded() != needle[matched].toCaseFolded())
                break;
            ++at;
            ++matched;
        }
        if (matched == needle.size())
            return true;
    }
    return false;
}

int Sign(bool less, bool greater)
{
    return less ? -1 : greater ? 1 : 0;
}

// Numbers in the order the user reads them: address, then port.
int CompareEndpoints(std::uint32_t addressA, std::uint16_t portA, std::uint32_t addressB,
                     std::uint16_t portB)
{
    const auto a = std::make_tuple(ntohl(addressA), portA);
    const auto b = std::make_tuple(ntohl(addressB), portB);
    return Sign(a < b, b < a);
}

// IPv6 numbers the same way: the address bytes, then the scope, then the port.
int CompareEndpoints6(const std::uint8_t* addressA, std::uint32_t scopeA, std::uint16_t portA,
                      const std::uint8_t* addressB, std::uint32_t scopeB, std::uint16_t portB)
{
    if (const int bytes = std::memcmp(addressA, addressB, 16); bytes != 0)
        return Sign(bytes<0, bytes> 0);
    const auto a = std::make_tuple(scopeA, portA);
    const auto b = std::make_tuple(scopeB, portB);
    return Sign(a < b, b < a);
}

// Numeric endpoints of either family: the IPv4 ones first, as the kernel lists them.
int CompareNumericEndpoints(const CONN_LINE& a, const CONN_LINE& b, bool local)
{
    if (a.ipv6 != b.ipv6)
        return a.ipv6 ? 1 : -1;
    if (a.ipv6 && local)
        return CompareEndpoints6(a.row6.localAddr, a.row6.localScope, a.row6.localPort,
                                 b.row6.localAddr, b.row6.localScope, b.row6.localPort);
    if (a.ipv6)
        return CompareEndpoints6(a.row6.remoteAddr, a.row6.remoteScope, a.row6.remotePort,
                                 b.row6.remoteAddr, b.row6.remoteScope, b.row6.remotePort);
    if (local)
        return CompareEndpoints(a.row.localAddr, a.row.localPort, b.row.localAddr, b.row.localPort);
    return CompareEndpoints(a.row.remoteAddr, a.row.remotePort, b.row.remoteAddr, b.row.remotePort);
}

} // namespace

CShownLines::CShownLines(CConnListModel* lines, QObject* parent)
    : QSortFilterProxyModel(parent), m_lines(lines)
{
    setSourceModel(lines);
}

void CShownLines::Serve(QTreeView* view)
{
    view->setModel(this);
    QHeaderView* header = view->header();
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setSortIndicatorClearable(true);
    view->setSortingEnabled(true);
    // After the view has sorted: the selected line stays in sight.
    connect(header, &QHeaderView::sortIndicatorChanged, view, [view] {
        if (view->currentIndex().isValid())
            view->scrollTo(view->currentIndex());
    });
}

void CShownLines::SetFilterText(const QString& text)
{
    if (text == m_filter)
        return;
    m_filter = text;
    invalidateRowsFilter();
}

bool CShownLines::Accepts(const CONN_LINE& line) const
{
    if (m_filter.isEmpty())
        return true;
    for (const QString& text : line.text) {
        if (text.contains(m_filter, Qt::CaseInsensitive) || ContainsPastBlanks(text, m_filter))
            return true;
    }
    return false;
}

int CShownLines::Compare(const CONN_LINE& a, const CONN_LINE& b, int column)
{
    if (CConnListModel::IsEndpointColumn(column)) {
        // Host and service names read as words, numbers as numbers; a list
        // caught between the two forms puts the numbers first.
        if (a.namedEndpoints != b.namedEndpoints)
            return a.namedEndpoints ? 1 : -1;
        if (!a.namedEndpoints)
            return CompareNumericEndpoints(a, b, column == 1);
    }
    if (column < 0 || column >= kConnLineColumns)
        return 0;
    return a.text[column].compare(b.text[column], Qt::CaseInsensitive);
}

bool CShownLines::filterAcceptsRow(int sourceRow, const QModelIndex&) const
{
    const CONN_LINE* line = m_lines->LineAt(sourceRow);
    return line != nullptr && Accepts(*line);
}

bool CShownLines::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const CONN_LINE* a = m_lines->LineAt(left.row());
    const CONN_LINE* b = m_lines->LineAt(right.row());
    const int order = a != nullptr && b != nullptr ? Compare(*a, *b, left.column()) : 0;
    // Equal lines keep the model's order, so that a refill never swaps them.
    return order != 0 ? order < 0 : left.row() < right.row();
}
