#pragma once

// The processes that hold the endpoint of the list line under the pointer, as
// a tooltip. Finding them walks /proc, so a worker thread does it and the
// tooltip appears when the answer is in, only while the pointer is still on
// that line.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <optional>

#include "platform/socket_owner.h"

class QTreeView;

class COwnerTooltip : public QObject {
    Q_OBJECT

public:
    // Serves `view`, which shows a CConnListModel; owned by the view.
    explicit COwnerTooltip(QTreeView* view);
    ~COwnerTooltip() override;

    // The tooltip for a lookup's answer: one line per holding process.
    static QString OwnerText(const SOCKET_OWNERS& owners);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Ask(const SOCKET_ENDPOINT& endpoint);
    void Answered(const SOCKET_ENDPOINT& endpoint, const QString& text);
    void Show(const SOCKET_ENDPOINT& endpoint, const QString& text);
    // The endpoint of the line under the pointer, and that line's rectangle.
    std::optional<SOCKET_ENDPOINT> UnderPointer(QRect* line = nullptr) const;

    QTreeView* m_view;
    QThreadPool m_pool;
    bool m_busy = false;
    std::optional<SOCKET_ENDPOINT> m_next;
    // The last answer, so that a pointer moving along one line does not walk
    // /proc again and again.
    std::optional<SOCKET_ENDPOINT> m_lastEndpoint;
    QString m_lastText;
    QElapsedTimer m_lastAnswered;
};
