#include "ui/list_filter.h"

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTreeView>

#include "ui/kept_selection.h"
#include "ui/shown_lines.h"

CListFilter::CListFilter(QTreeView* list, CShownLines* shown, CKeptSelection* kept)
    : QObject(list), m_list(list), m_shown(shown), m_kept(kept),
      m_edit(new QLineEdit(list->parentWidget())),
      m_action(new QAction(QStringLiteral("Filter..."), this))
{
    m_edit->setObjectName(QStringLiteral("IDC_FILTER"));
    m_edit->setAccessibleName(QStringLiteral("Filter"));
    m_edit->setClearButtonEnabled(true);
    m_edit->hide();
    QWidget::setTabOrder(m_list, m_edit);
    m_edit->installEventFilter(this);
    m_list->installEventFilter(this);
    connect(m_edit, &QLineEdit::textChanged, this, &CListFilter::Apply);

    m_action->setShortcut(QKeySequence::Find);
    list->window()->addAction(m_action);
    connect(m_action, &QAction::triggered, this, &CListFilter::Show);
}

void CListFilter::Show()
{
    if (m_edit->isHidden()) {
        m_room = m_list->geometry();
        m_edit->show();
        Place();
    }
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
}

void CListFilter::Close()
{
    m_edit->clear();
    if (m_edit->isHidden())
        return;
    const bool hadFocus = m_edit->hasFocus();
    m_edit->hide();
    m_placed = m_room;
    m_list->setGeometry(m_room);
    if (hadFocus)
        m_list->setFocus(Qt::OtherFocusReason);
}

void CListFilter::Apply(const QString& text)
{
    m_kept->Remember();
    m_shown->SetFilterText(text);
    m_kept->Restore();
}

void CListFilter::Place()
{
    const int height = m_edit->sizeHint().height();
    // The template's gap between the list and the button: 3 of 8 character heights.
    const int gap = m_list->fontMetrics().height() * 3 / 8;
    m_placed = m_room.adjusted(0, 0, 0, -(height + gap));
    m_list->setGeometry(m_placed);
    m_edit->setGeometry(m_room.left(), m_room.bottom() + 1 - height, m_room.width(), height);
}

bool CListFilter::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched == m_edit && (type == QEvent::KeyPress || type == QEvent::ShortcutOverride) &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
        static_cast<QKeyEvent*>(event)->modifiers() == Qt::NoModifier) {
        // Ours, before the window takes Esc for closing.
        event->accept();
        if (type == QEvent::KeyPress)
            Close();
        return true;
    }
    // Whoever lays out the window gave the list a new room, or moved it.
    const QRect now = m_list->geometry();
    if (watched == m_list && (type == QEvent::Resize || type == QEvent::Move) && now != m_placed) {
        if (!m_edit->isHidden() && now.size() == m_placed.size())
            m_room.translate(now.topLeft() - m_placed.topLeft());
        else
            m_room = now;
        if (!m_edit->isHidden())
            Place();
    }
    return QObject::eventFilter(watched, event);
}
