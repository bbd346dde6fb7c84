#include "ui/template_layout.h"

#include <QGroupBox>
#include <QLineEdit>

#include <algorithm>

void CTemplateLayout::Place(QWidget* control, int x, int y, int width, int height)
{
    m_placements.push_back({control, QRect(x, y, width, height), QRect()});
}

QSize CTemplateLayout::Apply(int width, int height)
{
    // An edit's text scrolls; every other control shows its whole text.
    for (const PLACEMENT& placement : m_placements)
        if (qobject_cast<QLineEdit*>(placement.control) == nullptr)
            m_units.WidenToFit(placement.control, placement.units.width());
    for (PLACEMENT& placement : m_placements) {
        const QRect& units = placement.units;
        placement.pixels = m_units.Rect(units.x(), units.y(), units.width(), units.height());
    }

    std::vector<PLACEMENT*> groups;
    for (PLACEMENT& placement : m_placements)
        if (qobject_cast<QGroupBox*>(placement.control) != nullptr)
            groups.push_back(&placement);
    // Top to bottom, so that room made for one group moves the ones below it.
    std::sort(groups.begin(), groups.end(),
              [](const PLACEMENT* a, const PLACEMENT* b) { return a->units.y() < b->units.y(); });
    for (PLACEMENT* group : groups)
        FitGroupBox(*group);

    for (const PLACEMENT& placement : m_placements)
        placement.control->setGeometry(placement.pixels);
    QSize size = m_units.Size(width, height);
    size.rheight() += m_insertedHeight;
    return size;
}

void CTemplateLayout::FitGroupBox(PLACEMENT& group)
{
    const QRect& frame = group.units;
    int firstY = 0;
    int top = 0;
    int bottom = 0;
    bool any = false;
    for (const PLACEMENT& member : m_placements) {
        if (&member == &group || !frame.contains(member.units))
            continue;
        int memberBottom = member.pixels.y() + member.pixels.height();
        firstY = any ? std::min(firstY, member.units.y()) : member.units.y();
        top = any ? std::min(top, member.pixels.y()) : member.pixels.y();
        bottom = any ? std::max(bottom, memberBottom) : memberBottom;
        any = true;
    }
    if (!any)
        return;
    // The style's margins hold the title, the frame lines and their spacing.
    QMargins margins = group.control->contentsMargins();
    int topRoom = top - group.pixels.y();
    if (margins.top() > topRoom)
        InsertRoom(firstY, margins.top() - topRoom);
    int bottomRoom = group.pixels.y() + group.pixels.height() - bottom;
    if (margins.bottom() > bottomRoom) {
        InsertRoom(frame.y() + frame.height(), margins.bottom() - bottomRoom);
        group.pixels.setHeight(group.pixels.height() + margins.bottom() - bottomRoom);
    }
}

void CTemplateLayout::InsertRoom(int y, int pixels)
{
    for (PLACEMENT& placement : m_placements) {
        const QRect& units = placement.units;
        if (units.y() >= y)
            placement.pixels.translate(0, pixels);
        else if (units.y() + units.height() > y)
            placement.pixels.setHeight(placement.pixels.height() + pixels);
    }
    m_insertedHeight += pixels;
}
