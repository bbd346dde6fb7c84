#pragma once

// Holds the list still on the user's word: while paused, each refill handed
// over is kept aside in place of the one before, and resuming shows the
// latest at once. Only the list waits; the scans, their dumps and the log go
// on as before.
#include <QObject>

#include <vector>

#include "ui/conn_list_model.h"

class QAction;
class QWidget;

class CListPause : public QObject {
    Q_OBJECT

public:
    // Serves `lines`; the Pause key toggles it anywhere in `window`.
    CListPause(CConnListModel* lines, QWidget* window);

    // Shows `lines`, or keeps them for the resume; either way `lines`
    // receives lines for the caller to free.
    void Hand(std::vector<CONN_LINE>& lines);

    bool IsPaused() const { return m_paused; }
    void SetPaused(bool paused);
    // "Pause list", checked while paused.
    QAction* ToggleAction() const { return m_action; }

signals:
    void PausedChanged(bool paused);

private:
    CConnListModel* m_lines;
    QAction* m_action;
    bool m_paused = false;
    bool m_held = false;
    std::vector<CONN_LINE> m_heldLines;
};
