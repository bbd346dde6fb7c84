#include "ui/line_copy.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTreeView>

#include "ui/conn_list_model.h"

CLineCopy::CLineCopy(QTreeView* view) : QObject(view), m_view(view)
{
    m_view->installEventFilter(this);
    m_view->viewport()->installEventFilter(this);
}

namespace {

// The logical columns of `view` in the order shown, without hidden ones.
QList<int> ShownColumns(const QTreeView& view)
{
    const QHeaderView* header = view.header();
    QList<int> columns;
    for (int visual = 0; visual < header->count(); ++visual) {
        const int column = header->logicalIndex(visual);
        if (column >= 0 && column < kConnLineColumns && !header->isSectionHidden(column))
            columns << column;
    }
    return columns;
}

QString Joined(const QStringList& texts)
{
    return texts.join(QLatin1Char('\t')) + QLatin1Char('\n');
}

} // namespace

QString CLineCopy::LineText(const CONN_LINE& line, const QTreeView& view)
{
    QStringList texts;
    for (int column : ShownColumns(view))
        texts << line.text[column];
    return Joined(texts);
}

QString CLineCopy::AllText(const QTreeView& view)
{
    const QAbstractItemModel* model = view.model();
    const QList<int> columns = ShownColumns(view);
    QStringList headings;
    for (int column : columns)
        headings << model->headerData(column, Qt::Horizontal).toString();
    QString text = Joined(headings);
    for (int row = 0; row < model->rowCount(); ++row) {
        if (const CONN_LINE* line = ShownLine(model->index(row, 0)))
            text += LineText(*line, view);
    }
    return text;
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
            ShowMenu(index, request->globalPos());
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CLineCopy::ShowMenuForSelectedLine()
{
    const QModelIndex line = SelectedLine();
    const QPoint at = line.isValid() ? m_view->visualRect(line).center() : QPoint();
    ShowMenu(line, m_view->viewport()->mapToGlobal(at));
}

QModelIndex CLineCopy::SelectedLine() const
{
    const QModelIndexList selected = m_view->selectionModel() != nullptr
                                         ? m_view->selectionModel()->selectedIndexes()
                                         : QModelIndexList();
    return selected.isEmpty() ? QModelIndex() : selected.first();
}

void CLineCopy::ShowMenu(const QModelIndex& line, const QPoint& globalPos)
{
    // The texts as they are now: a refill while the menu is open changes the lines.
    const CONN_LINE* shown = ShownLine(line);
    const QString text = shown != nullptr ? LineText(*shown, *m_view) : QString();
    const QString all = AllText(*m_view);
    QMenu menu(m_view);
    QAction* copy = menu.addAction(QStringLiteral("Copy"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(shown != nullptr);
    QAction* copyAll = menu.addAction(QStringLiteral("Copy all"));
    if (!m_more.isEmpty()) {
        menu.addSeparator();
        menu.addActions(m_more);
    }
    QAction* chosen = menu.exec(globalPos);
    if (chosen == copy)
        QGuiApplication::clipboard()->setText(text);
    else if (chosen == copyAll)
        QGuiApplication::clipboard()->setText(all);
}

void CLineCopy::CopyLine(const QModelIndex& line)
{
    if (const CONN_LINE* shown = ShownLine(line))
        QGuiApplication::clipboard()->setText(LineText(*shown, *m_view));
}
