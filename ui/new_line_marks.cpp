#include "ui/new_line_marks.h"

#include <QBrush>
#include <QGuiApplication>
#include <QPalette>

#include <algorithm>

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

void CNewLineMarks::OnRefillDone()
{
    m_fresh.clear();
    const int count = m_lines->rowCount();
    for (int row = 0; row < count; ++row)
        m_fresh.push_back(LineKey(*m_lines->LineAt(row)));
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
        for (const LINE_KEY& endpoint : m_fresh) {
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
    const LINE_KEY endpoint = LineKey(*line);
    auto found =
        std::lower_bound(m_marks.begin(), m_marks.end(), endpoint,
                         [](const MARK& mark, const LINE_KEY& key) { return mark.endpoint < key; });
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
