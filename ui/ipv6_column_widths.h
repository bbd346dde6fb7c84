#pragma once

// While a list view shows IPv6 lines, its endpoint columns are wide enough
// for the longest numeric IPv6 text; once none are left, the columns go back
// to the widths they had, unless the user has resized them meanwhile. The
// window keeps its size: a list narrower than its columns scrolls sideways.
#include <QObject>

#include "ui/conn_list_model.h"

class QTreeView;

class CIpv6ColumnWidths : public QObject {
    Q_OBJECT

public:
    // Serves `view`, which shows `lines`; owned by the view.
    CIpv6ColumnWidths(QTreeView* view, const CConnListModel* lines);

private:
    void Update();

    QTreeView* m_view;
    const CConnListModel* m_lines;
    bool m_widened = false;
    int m_wideWidth = 0;
    int m_narrowWidths[kConnLineColumns] = {};
};
