#include "ui/new_line_marks.h"

#include <QBrush>
#include <QGuiApplication>
#include <QPalette>

#include <algorithm>

#include <arpa/inet.h>

#include "ui/conn_list_model.h"

namespace {

// Of the highlight over the base: light enough that the text stays readable,
// in light and dark palettes alike.
constexpr float kTintShare = 0.3f;

QColor MarkTint()
{
    const QPalette palette = QGuiApplication::palette();
    const QColor base = palette.color(QPalette::Base);
    const QColor highlight = palette.color(QPalette::Highlight);
    auto blend = [](float under, float over) { return under + (over - under) * kTintShare; };
    return QColor::fromRgbF(blend(base.redF(), highlight.redF()),
                            blend(base.greenF(), highlight.greenF()),
                            blend(base.blueF(), highlight.blueF()));
}

} // namespace

CNewLineMarks::CNewLineMarks(CConnListModel* lines, QObject* parent)
    : QIdentityProxyModel(parent), m_lines(lines)
{
    setSourceModel(lines);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CNewLineMarks::OnMarkTimeOver);
    connect(lines, &CConnListModel::RefillDone, this, &CNewLineMarks::OnRefillDone);
    m_clock.start();
}

namespace {

// Eight address bytes as one word that compares as they do.
std::uint64_t Word(const std::uint8_t* bytes)
{
    std::uint64_t word = 0;
    for (int i = 0; i < 8; ++i)
        word = word << 8 | bytes[i];
    return word;
}

} // namespace

CNewLineMarks::ENDPOINT CNewLineMarks::EndpointOf(const CONN_LINE& line)
{
    // In the table's own order (IPv4 before IPv6, TCP rows first, then by
    // address, scope and port), so that a refill's endpoints come sorted already.
    if (line.ipv6) {
        const CONN6_ROW& row = line.row6;
        const std::uint64_t udp = row.state == 0 ? 1 : 0;
        return {{std::uint64_t{1} << 56 | udp << 48, Word(row.localAddr), Word(row.localAddr + 8),
                 std::uint64_t{row.localScope} << 16 | row.localPort, Word(row.remoteAddr),
                 Word(row.remoteAddr + 8), std::uint64_t{row.remoteScope} << 16 | row.remotePort}};
    }
    const CONN_ROW& row = line.row;
    const std::uint64_t udp = row.state == 0 ? 1 : 0;
    return {{udp << 48 | std::uint64_t(ntohl(row.localAddr)) << 16 | row.localPort,
             std::uint64_t(ntohl(row.remoteAddr)) << 16 | row.remotePort}};
}

void CNewLineMarks::OnRefillDone()
{
    m_fresh.clear();
    const int count = m_lines->rowCount();
    for (int row = 0; row < count; ++row)
        m_fresh.push_back(EndpointOf(*m_lines->LineAt(row)));
    if (!std::is_sorted(m_fresh.begin(), m_fresh.end()))
        std::sort(m_fresh.begin(), m_fresh.end());

    // A line that went away takes its mark along; were it back at the next
    // refill, it would be new again.
    std::erase_if(m_marks, [this](const MARK& mark) {
        return !std::binary_search(m_fresh.begin(), m_fresh.end(), mark.endpoint);
    });
    if (m_refilled) {
        const qint64 until = m_clock.elapsed() + m_markTime;
        const std::size_t before = m_marks.size();
        auto shown = m_shown.cbegin();
        for (const ENDPOINT& endpoint : m_fresh) {
            while (shown != m_shown.cend() && *shown < endpoint)
                ++shown;
            if (shown == m_shown.cend() || endpoint < *shown)
                m_marks.push_back({endpoint, until});
        }
        if (m_marks.size() != before) {
            std::sort(m_marks.begin(), m_marks.end(),
                      [](const MARK& a, const MARK& b) { return a.endpoint < b.endpoint; });
            if (!m_timer.isActive())
                ArmTimer();
        }
    }
    m_shown.swap(m_fresh);
    m_refilled = true;
}

void CNewLineMarks::ArmTimer()
{
    if (m_marks.empty())
        return;
    m_armedUntil =
        std::min_element(m_marks.begin(), m_marks.end(), [](const MARK& a, const MARK& b) {
            return a.until < b.until;
        })->until;
    m_timer.start(int(std::max<qint64>(0, m_armedUntil - m_clock.elapsed())));
}

void CNewLineMarks::OnMarkTimeOver()
{
    // What the timer was set for is over, whatever the clock says now.
    std::erase_if(m_marks, [this](const MARK& mark) { return mark.until <= m_armedUntil; });
    ArmTimer();
    const int rows = rowCount();
    if (rows > 0 && columnCount() > 0)
        emit dataChanged(index(0, 0), index(rows - 1, columnCount() - 1),
                         {Qt::BackgroundRole, Qt::AccessibleDescriptionRole});
}

bool CNewLineMarks::IsMarked(const QModelIndex& index) const
{
    if (m_marks.empty())
        return false;
    const CONN_LINE* line = m_lines->LineAt(mapToSource(index).row());
    if (line == nullptr)
        return false;
    const ENDPOINT endpoint = EndpointOf(*line);
    auto found =
        std::lower_bound(m_marks.begin(), m_marks.end(), endpoint,
                         [](const MARK& mark, const ENDPOINT& key) { return mark.endpoint < key; });
    return found != m_marks.end() && found->endpoint == endpoint;
}

QVariant CNewLineMarks::data(const QModelIndex& index, int role) const
{
    if (role == Qt::BackgroundRole && IsMarked(index))
        return QBrush(MarkTint());
    if (role == Qt::AccessibleDescriptionRole && IsMarked(index))
        return QStringLiteral("new");
    return QIdentityProxyModel::data(index, role);
}
