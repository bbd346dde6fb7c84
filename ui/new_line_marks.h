#pragma once

// Marks the lines that a refill of a CConnListModel brings in: a line whose
// endpoint was not in the refill before is drawn with a tint of the palette's
// highlight and described as "new" for a while, then as the others. A mark
// belongs to the endpoint, not to the row, so it stays with its line however
// the rows move. The first refill marks nothing: every line would be new.
#include <QElapsedTimer>
#include <QIdentityProxyModel>
#include <QTimer>

#include <vector>

#include "ui/line_key.h"

class CConnListModel;

class CNewLineMarks : public QIdentityProxyModel {
    Q_OBJECT

public:
    // Shows `lines` with their marks.
    explicit CNewLineMarks(CConnListModel* lines, QObject* parent = nullptr);

    // How long a line stays marked, from the refill that brought it.
    void SetMarkTime(int milliseconds) { m_markTime = milliseconds; }

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    struct MARK {
        LINE_KEY endpoint;
        qint64 until; // on m_clock
    };

    void OnRefillDone();
    void OnMarkTimeOver();
    void ArmTimer();
    bool IsMarked(const QModelIndex& index) const;

    const CConnListModel* m_lines;
    // The endpoints of the last refill, sorted, and the next refill's, in a
    // buffer whose room is kept from refill to refill.
    std::vector<LINE_KEY> m_shown;
    std::vector<LINE_KEY> m_fresh;
    std::vector<MARK> m_marks; // sorted by endpoint
    bool m_refilled = false;
    int m_markTime = 3000;
    // One timer for every mark: it runs to the earliest end of one.
    QTimer m_timer;
    qint64 m_armedUntil = 0;
    QElapsedTimer m_clock;
};
