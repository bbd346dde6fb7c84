#pragma once

// The list's filter line: Ctrl+F (or "Filter...") shows it under the list,
// each change of its text filters the list at once, and Esc in it clears it
// and hides it. While shown it takes a strip at the foot of the room that the
// window gives the list, wherever and however large that is.
#include <QObject>
#include <QRect>

class CKeptSelection;
class CShownLines;
class QAction;
class QLineEdit;
class QTreeView;

class CListFilter : public QObject {
    Q_OBJECT

public:
    // Serves `list`, which shows `shown` and keeps its place through `kept`.
    CListFilter(QTreeView* list, CShownLines* shown, CKeptSelection* kept);

    // Shows the line and gives it the focus.
    void Show();
    // Clears and hides the line; the list takes its room back and the focus.
    void Close();
    // "Filter...", Ctrl+F anywhere in the window.
    QAction* ShowAction() const { return m_action; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Apply(const QString& text);
    void Place();

    QTreeView* m_list;
    CShownLines* m_shown;
    CKeptSelection* m_kept;
    QLineEdit* m_edit;
    QAction* m_action;
    // The list's whole room, and the geometry that this gave it last.
    QRect m_room;
    QRect m_placed;
};
