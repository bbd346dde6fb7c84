#include "ui/list_title.h"

#include <QStringList>
#include <QWidget>

#include "ui/conn_list_model.h"
#include "ui/list_pause.h"
#include "ui/shown_lines.h"

CListTitle::CListTitle(QWidget* window, const CShownLines* shown, const CListPause* pause)
    : QObject(window), m_window(window), m_shown(shown), m_pause(pause),
      m_plain(window->windowTitle())
{
    // A refill is counted once it is done; a new filter at each change.
    const CConnListModel* lines = shown->Lines();
    connect(lines, &CConnListModel::RefillStarting, this, [this] { m_refilling = true; });
    connect(lines, &CConnListModel::RefillDone, this, [this] {
        m_refilling = false;
        Update();
    });
    for (auto change : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(shown, change, this, [this] {
            if (!m_refilling)
                Update();
        });
    connect(pause, &CListPause::PausedChanged, this, &CListTitle::Update);
}

QString CListTitle::Compose(const QString& plain, bool paused, int shown, int all)
{
    QStringList notes;
    if (paused)
        notes << QStringLiteral("paused");
    if (shown < all)
        notes << QStringLiteral("%1 of %2").arg(shown).arg(all);
    if (notes.isEmpty())
        return plain;
    return QStringLiteral("%1 (%2)").arg(plain, notes.join(QStringLiteral(", ")));
}

void CListTitle::Update()
{
    const QString title =
        Compose(m_plain, m_pause->IsPaused(), m_shown->rowCount(), m_shown->Lines()->rowCount());
    if (title != m_window->windowTitle())
        m_window->setWindowTitle(title);
}
