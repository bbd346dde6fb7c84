#include "ui/window_state.h"

#include <QDir>
#include <QSettings>
#include <QWidget>

namespace {

QString GeometryKey(const QString& name)
{
    return name + QStringLiteral("/geometry");
}

} // namespace

QString WindowStateFile()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // Relative values are to be ignored, as for every XDG base folder.
    if (!base.startsWith(u'/'))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/quillon/windows.ini");
}

bool RestoreWindowPlace(QWidget* window, const QString& name)
{
    QSettings state(WindowStateFile(), QSettings::IniFormat);
    // restoreGeometry refuses bytes it cannot read, and moves a window that
    // would stand off every screen back onto one.
    return window->restoreGeometry(state.value(GeometryKey(name)).toByteArray());
}

bool SaveWindowPlace(const QWidget* window, const QString& name)
{
    QSettings state(WindowStateFile(), QSettings::IniFormat);
    state.setValue(GeometryKey(name), window->saveGeometry());
    state.sync();
    return state.status() == QSettings::NoError;
}
