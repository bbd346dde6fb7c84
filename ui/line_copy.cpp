#include "ui/line_copy.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTreeView>

#include "ui/conn_list_model.h"

CLineCopy::CLineCopy(QTreeView* view, const CConnListModel* model)
    : QObject(view), m_view(view), m_model(model)
{
    m_view->installEventFilter(this);
    m_view->viewport()->installEventFilter(this);
}

QString CLineCopy::LineText(const CONN_LINE& line, const QTreeView& view)
{
    const QHeaderView* header = view.header();
    QStringList texts;
    for (int visual = 0; visual < header->count(); ++visual) {
        const int column = header->logicalIndex(visual);
        if (column >= 0 && column < kConnLineColumns && !header->isSectionHidden(column))
            texts << line.text[column];
    }
    return texts.join(QLatin1Char('\t')) + QLatin1Char('\n');
}

bool CLineCopy::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride:
    case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool copy = key->matches(QKeySequence::Copy);
        const bool shiftF10 = key->key() == Qt::Key_F10 &&
                              (key->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier;
        // The platform turns the Menu key into a menu request of its own.
        const bool menuKey = key->key() == Qt::Key_Menu;
        if (watched != m_view || (!copy && !shiftF10 && !menuKey))
            break;
        // Ours, before any shortcut and before the window's own keys see it.
        key->accept();
        if (event->type() == QEvent::KeyPress && copy)
            CopyLine(SelectedLine());
        else if (event->type() == QEvent::KeyPress && shiftF10)
            ShowMenuForSelectedLine();
        return true;
    }
    case QEvent::ContextMenu: {
        auto* request = static_cast<QContextMenuEvent*>(event);
        if (request->reason() == QContextMenuEvent::Keyboard) {
            ShowMenuForSelectedLine();
            return true;
        }
        if (watched != m_view->viewport())
            break;
        // A click beside the lines opens nothing.
        const QModelIndex index = m_view->indexAt(request->pos());
        if (index.isValid())
            ShowMenu(index.row(), request->globalPos());
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CLineCopy::ShowMenuForSelectedLine()
{
    const int line = SelectedLine();
    const QPoint at = line >= 0 ? m_view->visualRect(m_model->index(line, 0)).center() : QPoint();
    ShowMenu(line, m_view->viewport()->mapToGlobal(at));
}

int CLineCopy::SelectedLine() const
{
    const QModelIndexList selected = m_view->selectionModel() != nullptr
                                         ? m_view->selectionModel()->selectedIndexes()
                                         : QModelIndexList();
    return selected.isEmpty() ? -1 : selected.first().row();
}

void CLineCopy::ShowMenu(int line, const QPoint& globalPos)
{
    // The text as it is now: a refill while the menu is open changes the lines.
    const CONN_LINE* shown = m_model->LineAt(line);
    const QString text = shown != nullptr ? LineText(*shown, *m_view) : QString();
    QMenu menu(m_view);
    QAction* copy = menu.addAction(QStringLiteral("Copy"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(shown != nullptr);
    if (menu.exec(globalPos) == copy)
        QGuiApplication::clipboard()->setText(text);
}

void CLineCopy::CopyLine(int line)
{
    if (const CONN_LINE* shown = m_model->LineAt(line))
        QGuiApplication::clipboard()->setText(LineText(*shown, *m_view));
}
