#pragma once

// Copying lines of the list: Ctrl+C, and "Copy" and "Copy all" in the menu
// of a line (a right click on it; the Menu key or Shift+F10 while the list
// has the focus), which also holds the list's other commands. The clipboard
// gets the column texts exactly as shown, in the order shown, joined by tabs,
// with a line end; "Copy all" gets every shown line under the headings.
#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QString>

class QAction;
class QPoint;
class QTreeView;
struct CONN_LINE;

class CLineCopy : public QObject {
    Q_OBJECT

public:
    // Serves `view`, which shows a CConnListModel; owned by the view.
    explicit CLineCopy(QTreeView* view);

    // Puts `action` in the menu of a line, after the copy commands.
    void AddMenuAction(QAction* action) { m_more << action; }

    // The clipboard text of `line` as `view` shows its columns.
    static QString LineText(const CONN_LINE& line, const QTreeView& view);
    // The headings, then every line that `view` shows, in its order.
    static QString AllText(const QTreeView& view);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QModelIndex SelectedLine() const;
    void ShowMenu(const QModelIndex& line, const QPoint& globalPos);
    void ShowMenuForSelectedLine();
    void CopyLine(const QModelIndex& line);

    QTreeView* m_view;
    QList<QAction*> m_more;
};
