#include "ui/kept_selection.h"

#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTreeView>

#include "ui/conn_list_model.h"

CKeptSelection::CKeptSelection(QTreeView* view, const CConnListModel* lines)
    : QObject(view), m_view(view)
{
    connect(lines, &CConnListModel::RefillStarting, this, &CKeptSelection::Remember);
    connect(lines, &CConnListModel::RefillDone, this, &CKeptSelection::Restore);
}

namespace {

QByteArray KeyOf(const QModelIndex& index)
{
    return index.data(CConnListModel::EndpointKeyRole).toByteArray();
}

} // namespace

void CKeptSelection::Remember()
{
    m_selectedKey.clear();
    if (QItemSelectionModel* selection = m_view->selectionModel()) {
        const QModelIndexList rows = selection->selectedRows();
        if (!rows.isEmpty())
            m_selectedKey = KeyOf(rows.first());
    }
    m_topKey = KeyOf(m_view->indexAt(QPoint(0, 0)));
    m_scrollOffset = m_view->verticalScrollBar()->value();
}

void CKeptSelection::Restore()
{
    QItemSelectionModel* selection = m_view->selectionModel();
    const QModelIndexList rows =
        selection != nullptr ? selection->selectedRows() : QModelIndexList();
    const bool stillSelected = !rows.isEmpty() && KeyOf(rows.first()) == m_selectedKey;
    if (selection != nullptr && !stillSelected) {
        const QModelIndex selected = m_selectedKey.isEmpty() ? QModelIndex() : Find(m_selectedKey);
        if (selected.isValid()) {
            const QModelIndex current = selection->currentIndex();
            // The column of the current cell stays, as a click left it.
            const QModelIndex cell =
                selected.siblingAtColumn(current.isValid() ? current.column() : 0);
            selection->setCurrentIndex(cell, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
        } else {
            selection->clearSelection();
        }
    }
    if (!m_topKey.isEmpty() && KeyOf(m_view->indexAt(QPoint(0, 0))) == m_topKey)
        return;
    const QModelIndex top = m_topKey.isEmpty() ? QModelIndex() : Find(m_topKey);
    if (!top.isValid()) {
        m_view->verticalScrollBar()->setValue(m_scrollOffset);
        return;
    }
    // Scrolling to a cell may scroll sideways too; only the lines move here.
    const int across = m_view->horizontalScrollBar()->value();
    m_view->scrollTo(top, QAbstractItemView::PositionAtTop);
    m_view->horizontalScrollBar()->setValue(across);
}

QModelIndex CKeptSelection::Find(const QByteArray& key) const
{
    const QAbstractItemModel* model = m_view->model();
    const int rows = model->rowCount();
    for (int row = 0; row < rows; ++row) {
        const QModelIndex index = model->index(row, 0);
        if (KeyOf(index) == key)
            return index;
    }
    return {};
}
