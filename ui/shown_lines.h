#pragma once

// The lines the list view shows of a CConnListModel: those that contain the
// filter text in any column (case-blind), in the order of the sorted column,
// or in the model's own (the kernel's) order while no column is sorted.
// Refills reach the view as the model's row changes, so only the lines that
// changed are filtered and placed again.
#include <QSortFilterProxyModel>
#include <QString>

class CConnListModel;
class QTreeView;
struct CONN_LINE;

class CShownLines : public QSortFilterProxyModel {
    Q_OBJECT

public:
    // `source` is `lines` itself or a proxy over it that keeps its rows.
    CShownLines(CConnListModel* lines, QAbstractItemModel* source, QObject* parent);

    // Makes this the model of `view`, whose header clicks sort: ascending,
    // descending, then the model's order again.
    void Serve(QTreeView* view);

    // The lines shown, whatever proxy stands between.
    const CConnListModel* Lines() const { return m_lines; }

    void SetFilterText(const QString& text);
    const QString& FilterText() const { return m_filter; }
    bool Accepts(const CONN_LINE& line) const;

    // Negative, zero or positive as `a` sorts before, with or after `b` by `column`.
    static int Compare(const CONN_LINE& a, const CONN_LINE& b, int column);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    const CConnListModel* m_lines;
    QString m_filter;
};
