#pragma once

// The windows' own state between runs (where they stood and how large they
// were) in an INI file of $XDG_STATE_HOME/quillon/ (~/.local/state/quillon/
// when the variable is unset), apart from the settings hive, which holds the
// program's options only.
#include <QString>

class QWidget;

QString WindowStateFile();

// Puts `window` where it was when last saved under `name`, kept within reach
// on the screens there are now; false, with nothing changed, when no usable
// state is stored (none yet, or a damaged file).
bool RestoreWindowPlace(QWidget* window, const QString& name);
// False when the file could not be written.
bool SaveWindowPlace(const QWidget* window, const QString& name);
