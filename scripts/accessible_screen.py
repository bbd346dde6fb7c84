"""The harness's screen reader: Debian's python3-pyatspi on the desktop's accessibility bus, where
the program shows its widgets with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1."""

import os

from desktop import wait_until


class Screen:
    """What the program's windows show, read over the accessibility bus as a screen reader reads it."""

    def __init__(self, desktop):
        # The accessibility library finds its bus through these when first used.
        for name in ("DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[name] = desktop.env[name]
        import pyatspi  # Debian's python3-pyatspi
        self.atspi = pyatspi

    def has(self, node, state):
        return node.getState().contains(getattr(self.atspi, "STATE_" + state))

    def _windows(self):
        found = []
        for app in self.atspi.Registry.getDesktop(0):
            try:
                if app is not None and app.name == "quillon":
                    found += [window for window in app if window is not None and self.has(window, "SHOWING")]
            except Exception:  # an application that went away while it was read
                continue
        return found

    def find(self, role=None, name=None, root=None, timeout=10):
        """The first showing node, from `root` down (the program's windows), of that role and name."""
        def first():
            stack = [root] if root is not None else self._windows()
            while stack:
                node = stack.pop()
                try:
                    if role in (None, node.getRoleName()) and name in (None, node.name) and self.has(node, "SHOWING"):
                        return node
                    stack.extend(reversed([child for child in node if child is not None]))
                except Exception:
                    continue
            return None
        return wait_until(first, timeout, 0.2)

    def table_rows(self, table):
        """The lines' column texts, read again when a refill changed the list under the reading."""
        def read():
            cells = table.queryTable()
            found = [[cells.getAccessibleAt(row, column) for column in range(cells.nColumns)]
                     for row in range(cells.nRows)]
            return None if None in sum(found, []) else ([tuple(cell.name for cell in line) for line in found],)
        return (wait_until(read, 5) or ([],))[0]

    def tooltip(self):
        return next((w.name for w in self._windows() if w.getRoleName() == "tool tip"), None)

    def centre(self, node):
        x, y, width, height = node.queryComponent().getExtents(self.atspi.DESKTOP_COORDS)
        return x + width // 2, y + height // 2

    def menu_items(self):
        """The entries of the open menu, as a screen reader reaches them from the program."""
        menu = self.find("popup menu", timeout=5)
        return [item for item in menu if item.getRoleName() == "menu item"] if menu else []

    def unnamed_controls(self, node):
        """The roles of the controls from `node` down that take the focus but have no name to be read by."""
        own = [node.getRoleName()] if self.has(node, "FOCUSABLE") and not node.name else []
        return own + [role for child in node if child is not None for role in self.unnamed_controls(child)]
