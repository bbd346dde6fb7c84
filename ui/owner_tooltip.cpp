#include "ui/owner_tooltip.h"

#include <QCursor>
#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>
#include <QTreeView>

#include <cstring>

#include "ui/conn_list_model.h"

namespace {

// An answer younger than this is shown again without a new lookup.
constexpr qint64 kAnswerLifetimeMs = 2000;

SOCKET_ENDPOINT EndpointOf(const CONN_LINE& line)
{
    if (!line.ipv6) {
        const CONN_ROW& row = line.row;
        return {row.state != 0, row.localAddr, row.localPort, row.remoteAddr, row.remotePort};
    }
    const CONN6_ROW& row = line.row6;
    SOCKET_ENDPOINT endpoint{row.state != 0, 0, row.localPort, 0, row.remotePort};
    endpoint.family = AF_INET6;
    std::memcpy(endpoint.localAddr6, row.localAddr, sizeof endpoint.localAddr6);
    std::memcpy(endpoint.remoteAddr6, row.remoteAddr, sizeof endpoint.remoteAddr6);
    endpoint.localScope = row.localScope;
    endpoint.remoteScope = row.remoteScope;
    return endpoint;
}

// Command names are whatever a process chose; control characters would
// garble the tooltip.
QString PrintableCommand(const std::string& command)
{
    QString text = QString::fromLocal8Bit(command.c_str());
    for (QChar& c : text) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

COwnerTooltip::COwnerTooltip(QTreeView* view) : QObject(view), m_view(view)
{
    m_pool.setMaxThreadCount(1);
    m_view->viewport()->installEventFilter(this);
}

COwnerTooltip::~COwnerTooltip()
{
    // The worker posts its answer to this object; none may come after it.
    m_pool.waitForDone();
}

QString COwnerTooltip::OwnerText(const SOCKET_OWNERS& owners)
{
    switch (owners.status) {
    case SocketOwnerStatus::Found: {
        QStringList lines;
        for (const SOCKET_HOLDER& holder : owners.holders)
            lines << QStringLiteral("%1 (pid %2, user %3)")
                         .arg(PrintableCommand(holder.command))
                         .arg(holder.pid)
                         .arg(QString::fromLocal8Bit(holder.user.c_str()));
        return lines.join(QLatin1Char('\n'));
    }
    case SocketOwnerStatus::Gone:
        return QStringLiteral("This endpoint no longer exists.");
    case SocketOwnerStatus::NoProcess:
        return QStringLiteral("No process holds this endpoint.");
    case SocketOwnerStatus::Hidden:
        return QStringLiteral("Held by a process of user %1, which this user may not look into.")
            .arg(QString::fromLocal8Bit(owners.socketUser.c_str()));
    case SocketOwnerStatus::Failed:
        break;
    }
    return QStringLiteral("The owner cannot be looked up: %1.")
        .arg(QString::fromLocal8Bit(std::strerror(owners.error)));
}

bool COwnerTooltip::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QObject::eventFilter(watched, event);
    std::optional<SOCKET_ENDPOINT> endpoint = UnderPointer();
    if (!endpoint) {
        QToolTip::hideText();
        return true;
    }
    if (m_lastEndpoint == endpoint && m_lastAnswered.isValid() &&
        m_lastAnswered.elapsed() < kAnswerLifetimeMs) {
        Show(*endpoint, m_lastText);
        return true;
    }
    // Whatever shows belongs to another line.
    QToolTip::hideText();
    Ask(*endpoint);
    return true;
}

void COwnerTooltip::Ask(const SOCKET_ENDPOINT& endpoint)
{
    if (m_busy) {
        m_next = endpoint;
        return;
    }
    m_busy = true;
    m_pool.start([this, endpoint] {
        const QString text = OwnerText(FindSocketOwners(endpoint));
        QMetaObject::invokeMethod(
            this, [this, endpoint, text] { Answered(endpoint, text); }, Qt::QueuedConnection);
    });
}

void COwnerTooltip::Answered(const SOCKET_ENDPOINT& endpoint, const QString& text)
{
    m_busy = false;
    m_lastEndpoint = endpoint;
    m_lastText = text;
    m_lastAnswered.start();
    Show(endpoint, text);
    // The pointer went on to another line while this one was looked up.
    std::optional<SOCKET_ENDPOINT> next = m_next;
    m_next.reset();
    if (next && next != endpoint && UnderPointer() == next)
        Ask(*next);
}

void COwnerTooltip::Show(const SOCKET_ENDPOINT& endpoint, const QString& text)
{
    QRect line;
    if (UnderPointer(&line) != endpoint)
        return;
    // Plain text, even where a command name looks like markup.
    const QString shown = Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text) : text;
    QToolTip::showText(QCursor::pos(), shown, m_view->viewport(), line);
}

std::optional<SOCKET_ENDPOINT> COwnerTooltip::UnderPointer(QRect* line) const
{
    QWidget* viewport = m_view->viewport();
    if (!viewport->isVisible())
        return std::nullopt;
    const QPoint position = viewport->mapFromGlobal(QCursor::pos());
    if (!viewport->rect().contains(position))
        return std::nullopt;
    const QModelIndex index = m_view->indexAt(position);
    const CONN_LINE* shown = ShownLine(index);
    if (shown == nullptr)
        return std::nullopt;
    if (line != nullptr) {
        const QRect cell = m_view->visualRect(index);
        *line = QRect(0, cell.top(), viewport->width(), cell.height());
    }
    return EndpointOf(*shown);
}
