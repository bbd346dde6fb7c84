#include "ui/list_pause.h"

#include <QAction>
#include <QWidget>

CListPause::CListPause(CConnListModel* lines, QWidget* window)
    : QObject(window), m_lines(lines), m_action(new QAction(QStringLiteral("Pause list"), this))
{
    m_action->setCheckable(true);
    m_action->setShortcut(QKeySequence(Qt::Key_Pause));
    window->addAction(m_action);
    connect(m_action, &QAction::toggled, this, &CListPause::SetPaused);
}

void CListPause::Hand(std::vector<CONN_LINE>& lines)
{
    if (!m_paused) {
        m_lines->ReplaceLines(lines);
        return;
    }
    m_heldLines.swap(lines);
    m_held = true;
}

void CListPause::SetPaused(bool paused)
{
    if (paused == m_paused)
        return;
    m_paused = paused;
    m_action->setChecked(paused);
    if (!paused && m_held) {
        m_held = false;
        m_lines->ReplaceLines(m_heldLines);
        m_heldLines.clear();
    }
    emit PausedChanged(paused);
}
