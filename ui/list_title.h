#pragma once

// The window title says when the list does not show everything: "Quillon
// (paused)", "Quillon (3 of 40)" while a filter hides lines, and
// "Quillon (paused, 3 of 40)" for both.
#include <QObject>
#include <QString>

class CListPause;
class CShownLines;
class QWidget;

class CListTitle : public QObject {
    Q_OBJECT

public:
    // Keeps the title of `window`, whose title now is the plain one.
    CListTitle(QWidget* window, const CShownLines* shown, const CListPause* pause);

    static QString Compose(const QString& plain, bool paused, int shown, int all);

private:
    void Update();

    QWidget* m_window;
    const CShownLines* m_shown;
    const CListPause* m_pause;
    QString m_plain;
    bool m_refilling = false;
};
