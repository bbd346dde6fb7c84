#pragma once

// Keeps a list view's place across the refills of its CConnListModel: the
// selected line and the line on top are remembered by endpoint key before a
// refill and found again after it, through any proxy models in between. A
// selected line that is gone leaves nothing selected; a top line that is gone
// leaves the scroll offset as it was.
#include <QByteArray>
#include <QObject>

class CConnListModel;
class QModelIndex;
class QTreeView;

class CKeptSelection : public QObject {
    Q_OBJECT

public:
    // Serves `view`, whose model shows `lines`; owned by the view.
    CKeptSelection(QTreeView* view, const CConnListModel* lines);

    // Call around anything else that rebuilds the view's rows (a new filter).
    void Remember();
    void Restore();

private:
    QModelIndex Find(const QByteArray& key) const;

    QTreeView* m_view;
    QByteArray m_selectedKey;
    QByteArray m_topKey;
    int m_scrollOffset = 0;
};
