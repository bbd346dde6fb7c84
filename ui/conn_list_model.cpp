#include "ui/conn_list_model.h"

#include <QAbstractProxyModel>
#include <QFontDatabase>

#include <algorithm>
#include <iterator>

#include "monitor/row_text.h"
#include "settings/prop.h"
#include "ui/endpoint_font.h"
#include "ui/line_key.h"

namespace {

// The state texts met in one refill, made once each, shared by their lines.
class StateTexts {
public:
    const QString& Of(std::uint32_t state)
    {
        if (state >= std::size(texts))
            return Make(unknown, state);
        return Make(texts[state], state);
    }

private:
    static const QString& Make(QString& slot, std::uint32_t state)
    {
        if (slot.isNull()) {
            char text[16];
            GetStateName(state, text);
            slot = QString::fromLatin1(text);
        }
        return slot;
    }

    QString texts[13];
    QString unknown;
};

void SetRow(CONN_LINE& line, const CONN_ROW& row)
{
    line.row = row;
}

void SetRow(CONN_LINE& line, const CONN6_ROW& row)
{
    line.row = {};
    line.ipv6 = true;
    line.row6 = row;
}

// The texts that repeat from line to line, made once per refill.
struct SharedTexts {
    QString tcp = QStringLiteral("TCP");
    QString udp = QStringLiteral("UDP");
    QString tcp6 = QStringLiteral("TCPv6");
    QString udp6 = QStringLiteral("UDPv6");
    QString noRemote = QString::fromLatin1(kNoRemoteText);
    StateTexts states;
    bool named = oProp.GetShowHost() != 0;

    const QString& Protocol(const CONN_ROW& row) const { return row.state != 0 ? tcp : udp; }
    const QString& Protocol(const CONN6_ROW& row) const { return row.state != 0 ? tcp6 : udp6; }
};

template <typename Row> void FillLine(CONN_LINE& line, const Row& row, SharedTexts& shared)
{
    char cell[kCellTextSize];
    SetRow(line, row);
    line.namedEndpoints = shared.named;
    line.text[0] = shared.Protocol(row);
    FormatLocalEndpoint(row, cell, sizeof cell);
    line.text[1] = QString::fromLocal8Bit(cell);
    if (row.state == 0) {
        line.text[2] = shared.noRemote;
    } else {
        FormatRemoteEndpoint(row, cell, sizeof cell);
        line.text[2] = QString::fromLocal8Bit(cell);
    }
    line.text[3] = shared.states.Of(row.state);
}

} // namespace

std::vector<CONN_LINE> BuildConnLines(const CONN_TABLE* table, const CONN6_TABLE* table6)
{
    std::vector<CONN_LINE> lines;
    if (table == nullptr)
        return lines;
    const std::uint32_t count = std::min(table->count, kConnTableMaxRows);
    const std::uint32_t count6 =
        table6 != nullptr ? std::min(table6->count, kConn6TableMaxRows) : 0;
    lines.resize(std::size_t{count} + count6);

    SharedTexts shared;
    for (std::uint32_t i = 0; i < count; ++i)
        FillLine(lines[i], table->rows[i], shared);
    for (std::uint32_t i = 0; i < count6; ++i)
        FillLine(lines[count + i], table6->rows[i], shared);
    return lines;
}

CConnListModel::CConnListModel(QObject* parent)
    : QAbstractTableModel(parent), m_fixedFont(QFontDatabase::systemFont(QFontDatabase::FixedFont))
{
}

void CConnListModel::SetDialogFont(const QFont& dialogFont)
{
    m_fixedFont = ChooseEndpointFont(dialogFont);
}

int CConnListModel::InsertColumn(int index, const QString& heading)
{
    if (index < 0 || index > m_headings.size())
        index = static_cast<int>(m_headings.size());
    beginInsertColumns(QModelIndex(), index, index);
    m_headings.insert(index, heading);
    endInsertColumns();
    return index;
}

const CONN_LINE* ShownLine(const QModelIndex& index)
{
    QModelIndex source = index;
    while (auto* proxy = qobject_cast<const QAbstractProxyModel*>(source.model()))
        source = proxy->mapToSource(source);
    auto* model = qobject_cast<const CConnListModel*>(source.model());
    return model != nullptr ? model->LineAt(source.row()) : nullptr;
}

void CConnListModel::ReplaceLines(std::vector<CONN_LINE>& lines)
{
    emit RefillStarting();
    const KEPT_ENDS ends = KeptEnds(m_lines, lines);
    const auto first = static_cast<std::ptrdiff_t>(ends.before);
    const auto oldMiddle = static_cast<std::ptrdiff_t>(m_lines.size() - ends.before - ends.after);
    const auto newMiddle = static_cast<std::ptrdiff_t>(lines.size() - ends.before - ends.after);
    // Moved out, so that they too are freed by the caller.
    std::vector<CONN_LINE> removed(std::make_move_iterator(m_lines.begin() + first),
                                   std::make_move_iterator(m_lines.begin() + first + oldMiddle));
    if (oldMiddle > 0) {
        beginRemoveRows(QModelIndex(), int(first), int(first + oldMiddle - 1));
        m_lines.erase(m_lines.begin() + first, m_lines.begin() + first + oldMiddle);
        endRemoveRows();
    }
    if (newMiddle > 0)
        beginInsertRows(QModelIndex(), int(first), int(first + newMiddle - 1));
    m_lines.swap(lines);
    if (newMiddle > 0)
        endInsertRows();

    // `lines` now holds the kept lines as they were: the first ones, then the last.
    // A signal per run of changed lines, over the columns that changed, so
    // that a sorting proxy places again only lines whose sorted text changed;
    // many runs go as one range, since each signal costs the views a pass.
    struct RUN {
        int top, bottom, left, right;
    };
    constexpr std::size_t kMaxChangedRuns = 8;
    std::vector<RUN> runs;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int row = int(i < ends.before ? i : i + std::size_t(newMiddle));
        const CONN_LINE& now = m_lines[std::size_t(row)];
        int left = kConnLineColumns;
        int right = -1;
        for (int column = 0; column < kConnLineColumns; ++column) {
            if (now.text[column] == lines[i].text[column])
                continue;
            left = std::min(left, column);
            right = column;
        }
        if (right < 0)
            continue;
        if (!runs.empty() && runs.back().bottom == row - 1) {
            RUN& run = runs.back();
            run = {run.top, row, std::min(run.left, left), std::max(run.right, right)};
        } else {
            runs.push_back({row, row, left, right});
        }
    }
    if (runs.size() > kMaxChangedRuns) {
        RUN all = {runs.front().top, runs.back().bottom, kConnLineColumns, -1};
        for (const RUN& run : runs)
            all = {all.top, all.bottom, std::min(all.left, run.left),
                   std::max(all.right, run.right)};
        runs = {all};
    }
    const int lastColumn = columnCount() - 1;
    for (const RUN& run : runs) {
        if (run.left <= lastColumn)
            emit dataChanged(index(run.top, run.left),
                             index(run.bottom, std::min(run.right, lastColumn)));
    }
    lines.insert(lines.end(), std::make_move_iterator(removed.begin()),
                 std::make_move_iterator(removed.end()));
    emit RefillDone();
}

const CONN_LINE* CConnListModel::LineAt(int index) const
{
    if (index < 0 || index >= static_cast<int>(m_lines.size()))
        return nullptr;
    return &m_lines[static_cast<std::size_t>(index)];
}

int CConnListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

int CConnListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_headings.size());
}

QVariant CConnListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(m_lines.size()))
        return {};
    int column = index.column();
    if (column < 0 || column >= kConnLineColumns)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return m_lines[static_cast<std::size_t>(index.row())].text[column];
    case Qt::FontRole:
        if (IsEndpointColumn(column))
            return m_fixedFont;
        return {};
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    case EndpointKeyRole:
        return EndpointKey(m_lines[static_cast<std::size_t>(index.row())]);
    default:
        return {};
    }
}

QVariant CConnListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= m_headings.size())
        return {};
    if (role == Qt::DisplayRole)
        return m_headings[section];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}
