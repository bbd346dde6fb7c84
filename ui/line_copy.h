#pragma once

// Copying a line of the list: Ctrl+C, and "Copy" in the menu of a line (a
// right click on it; the Menu key or Shift+F10 while the list has the focus).
// The clipboard gets the line's column texts exactly as shown, in the order
// shown, joined by tabs, with a line end.
#include <QObject>
#include <QString>

class CConnListModel;
class QPoint;
class QTreeView;
struct CONN_LINE;

class CLineCopy : public QObject {
    Q_OBJECT

public:
    // Serves `view`, which shows `model`; owned by the view.
    CLineCopy(QTreeView* view, const CConnListModel* model);

    // The clipboard text of `line` as `view` shows its columns.
    static QString LineText(const CONN_LINE& line, const QTreeView& view);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int SelectedLine() const;
    void ShowMenu(int line, const QPoint& globalPos);
    void ShowMenuForSelectedLine();
    void CopyLine(int line);

    QTreeView* m_view;
    const CConnListModel* m_model;
};
