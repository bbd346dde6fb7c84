#pragma once

// The connection list's lines and the table model that the list view shows.
// The texts of a refill are built off the user-interface thread; the model
// only takes the finished lines over in one swap.
#include <QAbstractTableModel>
#include <QFont>
#include <QString>
#include <QStringList>

#include <vector>

#include "monitor/conn_table.h"

struct CONN_LINE {
    QString text[4]; // protocol, local endpoint, remote endpoint, state
    // The row shown, for what the texts do not say: `row` for an IPv4 line,
    // `row6` for an IPv6 one.
    CONN_ROW row;
    bool ipv6 = false;
    CONN6_ROW row6{};
    bool namedEndpoints = false; // the endpoints name hosts and services, not numbers
};

inline constexpr int kConnLineColumns = 4;
inline constexpr std::size_t kCellTextSize = 256;

// One line per row of `table`, then of `table6`, in table order, with the
// endpoint texts in the form that oProp's showHost chooses at the time of the call.
std::vector<CONN_LINE> BuildConnLines(const CONN_TABLE* table, const CONN6_TABLE* table6 = nullptr);

// The line that `index` of a view shows, through any proxy models between
// the view and a CConnListModel; null when there is none.
const CONN_LINE* ShownLine(const QModelIndex& index);

class CConnListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit CConnListModel(QObject* parent = nullptr);

    // Adds a left-aligned column with `heading` before `index`; returns its index.
    int InsertColumn(int index, const QString& heading);

    // The endpoint columns show a font that draws every character of their
    // blank-padded texts with one advance, at the size of `dialogFont`.
    void SetDialogFont(const QFont& dialogFont);
    const QFont& EndpointFont() const { return m_fixedFont; }
    static bool IsEndpointColumn(int column) { return column == 1 || column == 2; }

    // Makes `lines` the whole list; `lines` receives the old lines, so that
    // the caller frees them on its own thread. Lines at either end that show
    // the same endpoints as before stay rows of their own (their texts are
    // updated in place); only the lines between are removed and inserted.
    void ReplaceLines(std::vector<CONN_LINE>& lines);

    // Line `index`, or null past the end.
    const CONN_LINE* LineAt(int index) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The endpoint key of a line (line_key.h), as a QByteArray.
    static constexpr int EndpointKeyRole = Qt::UserRole + 1;

signals:
    // Around each ReplaceLines, for views that keep their place across it.
    void RefillStarting();
    void RefillDone();

private:
    // Headings in the order of insertion; column i shows text i of a line.
    QStringList m_headings;
    std::vector<CONN_LINE> m_lines;
    QFont m_fixedFont;
};
