#pragma once

// The application as screen readers see it. Qt lists the program's windows
// there but leaves popups out, so an open menu could not be read from the
// tree. The interface installed here lists the open menus after the windows,
// where a menu's own interface already names the application as its parent.

// Installs it for the application object; to be called before that is created.
void InstallAccessibleApplication();
