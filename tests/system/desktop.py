"""A private desktop for running the real program: Xvfb, a tray host, a home
folder, a private /etc/hosts and a known set of sockets.

Every scenario runs inside `unshare --net --mount` (see CMakeLists.txt), so the
sockets it opens are the only inet sockets the program sees and no name query
leaves the machine.
"""

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

BUILD_DIR = Path(os.environ.get("QUILLON_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
NOBODY = 65534


def wait_until(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns a true value or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kwargs)


def die_with_parent():
    """Ends a helper process when the scenario's process goes away."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def prepare_namespace(hosts_text):
    """Brings loopback up and gives the scenario its own X socket folder,
    accessibility bus folder and /etc/hosts, so X servers and buses of scenarios
    running side by side or one after another never meet."""
    run("ip", "link", "set", "lo", "up")
    os.makedirs("/tmp/.X11-unix", mode=0o1777, exist_ok=True)
    run("mount", "-t", "tmpfs", "-o", "mode=1777", "quillon-x11", "/tmp/.X11-unix")
    # The accessibility bus's socket has one fixed path here; a bus that ends
    # late would remove the next scenario's.
    at_spi = Path.home() / ".cache" / "at-spi"
    at_spi.mkdir(mode=0o700, parents=True, exist_ok=True)
    run("mount", "-t", "tmpfs", "-o", "mode=0700", "quillon-at-spi", str(at_spi))
    bind_hosts_file(hosts_text)


def bind_hosts_file(hosts_text):
    hosts = Path(tempfile.mkstemp(prefix="quillon-hosts-")[1])
    hosts.write_text(hosts_text)
    hosts.chmod(0o644)
    run("mount", "--bind", str(hosts), "/etc/hosts")
    hosts.unlink()  # the mount keeps the file alive for this namespace only


class Desktop:
    """Xvfb on a free display, with or without a tray host."""

    def __init__(self, tray=True, size="1024x768"):
        self.width, self.height = (int(value) for value in size.split("x"))
        # Xvfb picks a free display itself and tells us its number, so scenarios
        # may run side by side.
        read_end, write_end = os.pipe()
        # -noreset: a server that resets when its last client leaves refuses
        # connections for a moment, and a desktop without a tray host has none.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x24", "-nolisten", "tcp", "-ac", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.close()
            raise RuntimeError("Xvfb did not start")
        self.display = int(number)
        self.env = dict(os.environ, DISPLAY=f":{self.display}")
        self.env.pop("WAYLAND_DISPLAY", None)
        # The accessibility bus puts its socket in the runtime folder, named
        # after the display; scenarios side by side each have a display :0.
        self.runtime = tempfile.mkdtemp(prefix="quillon-runtime-")
        self.env["XDG_RUNTIME_DIR"] = self.runtime
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        self.bus = None
        self.tray = None
        if not wait_until(self._x_answers, 10):
            self.close()
            raise RuntimeError("Xvfb does not answer")
        self._start_session_bus()
        if tray:
            self._start_tray()

    def _start_session_bus(self):
        """A session bus of this desktop's own, with the accessibility bus
        already up, so that a program started on it exposes its widgets."""
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                    env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    text=True, preexec_fn=die_with_parent)
        address = self.bus.stdout.readline().strip()
        if not address:
            self.close()
            raise RuntimeError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                        "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                       env=self.env, capture_output=True, timeout=10)

    def _start_tray(self):
        # trayer now and then gives up on a display that has only just come up;
        # it exits at once then, and a second start finds the display.
        for _ in range(3):
            self.tray = subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                 "--width", "64", "--heighttype", "pixel", "--height", "24",
                 "--transparent", "false", "--SetDockType", "true"],
                env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                preexec_fn=die_with_parent)
            if wait_until(lambda: self.tray.poll() is not None or self.find_windows("--class", "trayer"), 10) \
                    and self.tray.poll() is None:
                return
        self.close()
        raise RuntimeError("trayer did not start")

    def _x_answers(self):
        return subprocess.run(["xdpyinfo"], env=self.env, capture_output=True).returncode == 0

    def xdotool(self, *args, check=False):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True, check=check)

    def find_windows(self, *criteria):
        result = self.xdotool("search", "--onlyvisible", *criteria)
        return [line for line in result.stdout.split() if line.strip()]

    def windows_named(self, name):
        """Visible windows whose title is exactly `name` (xdotool matches without case)."""
        return [window for window in self.find_windows("--name", f"^{name}$")
                if self.xdotool("getwindowname", window).stdout.rstrip("\n") == name]

    def window_named(self, name, timeout=10):
        """The id of a visible window whose title is exactly `name`, or None."""
        found = wait_until(lambda: self.windows_named(name), timeout)
        return found[0] if found else None

    def geometry(self, window):
        output = self.xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in output.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def tray_icons(self):
        """The program's icon windows docked in the tray host: small windows of its class."""
        icons = []
        for window in self.find_windows("--class", "quillon"):
            try:
                x, y, width, height = self.geometry(window)
            except (KeyError, ValueError):
                continue
            if width <= 64 and height <= 64:
                icons.append((x + width // 2, y + height // 2))
        return icons

    def tray_icon_position(self):
        icons = self.tray_icons()
        return icons[0] if icons else None

    def open_menu(self, x, y):
        """Right-clicks at x, y and waits for the program's popup menu; True once it shows."""
        before = set(self.find_windows("--class", "quillon"))
        self.right_click(x, y)
        return bool(wait_until(lambda: set(self.find_windows("--class", "quillon")) - before, 5))

    def right_click(self, x, y):
        self.click(x, y, button=3)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", str(button))

    def clipboard(self):
        return subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=self.env,
                              capture_output=True, text=True, timeout=10).stdout

    def key(self, *keys, window=None):
        args = ["key", "--delay", "60"]
        if window:
            args += ["--window", window]
        self.xdotool(*args, *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", "20", text)

    def screenshot(self, path):
        subprocess.run(["import", "-display", f":{self.display}", "-window", "root", str(path)],
                       capture_output=True)

    def close(self):
        for process in (getattr(self, "tray", None), getattr(self, "bus", None), self.xvfb):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
        if getattr(self, "runtime", None):
            shutil.rmtree(self.runtime, ignore_errors=True)


class Accessibility:
    """What the program's windows show, read over the accessibility bus as a
    screen reader reads it."""

    def __init__(self, desktop):
        # The accessibility library finds its bus through these when first used.
        os.environ["DISPLAY"] = desktop.env["DISPLAY"]
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = desktop.env["DBUS_SESSION_BUS_ADDRESS"]
        os.environ["XDG_RUNTIME_DIR"] = desktop.env["XDG_RUNTIME_DIR"]
        import pyatspi  # Debian's python3-pyatspi
        self.atspi = pyatspi

    def application(self, name="quillon", timeout=15):
        def find():
            desktop = self.atspi.Registry.getDesktop(0)
            for app in desktop:
                if app is not None and app.name == name:
                    return app
            return None
        return wait_until(find, timeout, interval=0.2)

    def nodes(self, root, role=None, name=None, showing=True):
        """Every node below `root` of the given role name ("push button",
        "check box", "label", "table", "dialog", ...) and exact name."""
        found = []
        stack = [root]
        while stack:
            node = stack.pop()
            try:
                children = list(node)
                matches = ((role is None or node.getRoleName() == role)
                           and (name is None or node.name == name)
                           and (not showing or node.getState().contains(self.atspi.STATE_SHOWING)))
            except Exception:  # a node that went away while it was read
                continue
            if matches and node is not root:
                found.append(node)
            stack.extend(reversed([child for child in children if child is not None]))
        return found

    def find(self, role=None, name=None, root=None, timeout=10):
        """The first showing node of that role and name in the program, or None."""
        def first():
            top = root if root is not None else self.application(timeout=0)
            if top is None:
                return None
            matches = self.nodes(top, role, name)
            return matches[0] if matches else None
        return wait_until(first, timeout, interval=0.2)

    def window(self, title, timeout=10):
        """A showing top-level window (frame or dialog) of the program by its title."""
        def find():
            app = self.application(timeout=0)
            if app is None:
                return None
            for window in app:
                try:
                    if window is not None and window.name == title and \
                            window.getState().contains(self.atspi.STATE_SHOWING):
                        return window
                except Exception:
                    continue
            return None
        return wait_until(find, timeout, interval=0.2)

    def table_rows(self, table):
        """The table's lines, each a tuple of its cell texts, top to bottom."""
        cells = table.queryTable()
        return [tuple(cells.getAccessibleAt(row, column).name for column in range(cells.nColumns))
                for row in range(cells.nRows)]

    def cell(self, table, row, column=0):
        return table.queryTable().getAccessibleAt(row, column)

    def tooltip(self):
        """The text of the program's showing tooltip, or None."""
        app = self.application(timeout=0)
        for window in app or []:
            try:
                if window is not None and window.getRoleName() == "tool tip" and \
                        window.getState().contains(self.atspi.STATE_SHOWING):
                    return window.name
            except Exception:
                continue
        return None

    def is_checked(self, node):
        return node.getState().contains(self.atspi.STATE_CHECKED)

    def is_enabled(self, node):
        return node.getState().contains(self.atspi.STATE_ENABLED)

    def has_focus(self, node):
        return node.getState().contains(self.atspi.STATE_FOCUSED)

    def text(self, node):
        """What an editable text shows."""
        return node.queryText().getText(0, -1)

    def centre(self, node):
        """The node's centre on the screen, for a real click with xdotool."""
        x, y, width, height = node.queryComponent().getExtents(self.atspi.DESKTOP_COORDS)
        return x + width // 2, y + height // 2


class Sockets:
    """IPv4 sockets held open for the program to see."""

    def __init__(self):
        self.held = []

    def tcp_listen(self, address, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((address, port))
        sock.listen(8)
        self.held.append(sock)
        return sock

    def tcp_pair(self, server_address, server_port, client_address="127.0.0.1", client_port=0):
        """A listener and one established connection to it (three rows)."""
        listener = self.tcp_listen(server_address, server_port)
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.bind((client_address, client_port))
        client.connect((server_address, server_port))
        accepted, _ = listener.accept()
        self.held += [client, accepted]
        return listener, client, accepted

    def udp(self, address, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind((address, port))
        self.held.append(sock)
        return sock

    def close(self, *socks):
        for sock in socks or list(self.held):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            sock.close()
            if sock in self.held:
                self.held.remove(sock)


class Quillon:
    """The built program, run in a private home and working folder."""

    def __init__(self, desktop, home=None, user=None, program=None):
        self.desktop = desktop
        self.root = Path(tempfile.mkdtemp(prefix="quillon-system-"))
        self.home = Path(home) if home else self.root / "home"
        self.work = self.root / "work"
        self.home.mkdir(parents=True, exist_ok=True)
        self.work.mkdir(parents=True, exist_ok=True)
        # Its own runtime folder, so that scenarios running side by side never
        # meet as one instance.
        self.runtime = self.root / "runtime"
        self.runtime.mkdir(mode=0o700)
        self.program = Path(program) if program else BUILD_DIR / "quillon"
        self.user = user
        if user is not None:
            os.chmod(self.root, 0o755)
            for folder in (self.home, self.work, self.runtime):
                os.chown(folder, user, user)
        self.process = None

    @property
    def hive(self):
        return self.home / ".config" / "quillon" / "user.reg"

    @property
    def log(self):
        return self.work / "quillon.log"

    def write_hive(self, bool_prop1=7, refresh_time=1000, log_name="quillon.log"):
        self.hive.parent.mkdir(parents=True, exist_ok=True)
        escaped = log_name.replace("\\", "\\\\").replace('"', '\\"')
        self.hive.write_text(
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
            f'"BoolProp1"=dword:{bool_prop1:08x}\n'
            f'"RefreshTime"=dword:{refresh_time:08x}\n'
            f'"LogName"="{escaped}"\n')
        if self.user is not None:
            for path in (self.hive.parent.parent, self.hive.parent, self.hive):
                os.chown(path, self.user, self.user)

    def start(self):
        self.process = self.launch()
        return self

    def launch(self):
        """One more launch of the program for the same user and display."""
        env = dict(self.desktop.env, HOME=str(self.home), XDG_RUNTIME_DIR=str(self.runtime))
        env.pop("XDG_CONFIG_HOME", None)
        command = [str(self.program)]
        if self.user is not None:
            command = ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--clear-groups", "--"] + command
        return subprocess.Popen(command, cwd=self.work, env=env, preexec_fn=die_with_parent,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def main_window(self, timeout=15):
        return self.desktop.window_named("Quillon", timeout)

    def log_lines(self):
        try:
            return self.log.read_text(errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def wait_for_log(self, predicate, timeout=15):
        return wait_until(lambda: predicate(self.log_lines()), timeout, interval=0.1)

    def ended(self, timeout):
        try:
            self.process.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def terminate(self, sig=signal.SIGTERM):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            if not self.ended(10):
                self.process.kill()
                self.process.wait()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


SYSTEM_FOLDERS = ("/usr", "/etc", "/var")


def overlay_system_folders(scratch):
    """Lays a writable overlay on /usr, /etc and /var for this mount namespace
    only, so whatever a package install writes stays in `scratch`, a tmpfs
    that goes with the namespace. False where the kernel refuses overlays."""
    run("mount", "-t", "tmpfs", "quillon-overlays", str(scratch))
    for folder in SYSTEM_FOLDERS:
        upper, work = scratch / folder.strip("/") / "upper", scratch / folder.strip("/") / "work"
        upper.mkdir(parents=True)
        work.mkdir()
        mounted = run("mount", "-t", "overlay", "quillon-overlay", "-o",
                      f"lowerdir={folder},upperdir={upper},workdir={work}", folder, check=False)
        if mounted.returncode != 0:
            remove_system_overlays(scratch)
            return False
    return True


def remove_system_overlays(scratch):
    """Takes the overlays and their tmpfs away again: the machine's own folders show."""
    for folder in (*reversed(SYSTEM_FOLDERS), str(scratch)):
        source = run("findmnt", "--noheadings", "--output", "SOURCE", "--mountpoint", folder, check=False)
        if source.stdout.strip() in ("quillon-overlay", "quillon-overlays"):
            run("umount", "--lazy", folder)
