"""A private desktop for the built program: Xvfb, a session bus with the
accessibility bus, a tray host, the program in a home of its own, sockets held
open for it, network and mount namespaces of its own, and overlays that keep
a package install off the machine's folders. The system scenarios,
`make run` without a display, the screenshot and the idle benchmark all start
the program through here.
"""

import ctypes
import os
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

BUILD_DIR = Path(os.environ.get("QUILLON_BUILD_DIR", Path(__file__).resolve().parents[1] / "build"))
LIBC = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNS, CLONE_NEWNET, PR_SET_PDEATHSIG = 0x00020000, 0x40000000, 1


def wait_until(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns a true value or `timeout` seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, capture_output=True, text=True, **kwargs)


def die_with_parent():
    """Ends a helper process when the process that started it goes away."""
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def start_helper(command, env=None, stdout=subprocess.DEVNULL, **kwargs):
    return subprocess.Popen(command, env=env, stdout=stdout, stderr=subprocess.DEVNULL,
                            preexec_fn=die_with_parent, **kwargs)


def stop_helpers(processes):
    """Ends the helpers, the last started first."""
    for process in reversed(processes):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process.stdout:
            process.stdout.close()


def enter_private_namespace(hosts_text):
    """Moves this process and all it starts into network and mount namespaces
    of their own: only the sockets opened here are seen, no name query leaves
    the machine, and desktops side by side never share an X socket folder, an
    accessibility bus folder or /etc/hosts. False where the kernel refuses."""
    if LIBC.unshare(CLONE_NEWNET | CLONE_NEWNS) != 0:
        return False
    run("mount", "--make-rprivate", "/")
    run("ip", "link", "set", "lo", "up")
    # The accessibility bus's socket has one fixed path under the home; a bus
    # that ends late would remove the next desktop's.
    for folder, mode in (("/tmp/.X11-unix", "1777"), (Path.home() / ".cache/at-spi", "0700")):
        os.makedirs(folder, exist_ok=True)
        run("mount", "-t", "tmpfs", "-o", f"mode={mode}", "quillon", str(folder))
    bind_hosts_file(hosts_text)
    return True


def bind_hosts_file(hosts_text):
    fd, hosts = tempfile.mkstemp(prefix="quillon-hosts-")
    os.write(fd, hosts_text.encode())
    os.close(fd)
    os.chmod(hosts, 0o644)
    run("mount", "--bind", hosts, "/etc/hosts")
    os.unlink(hosts)  # the mount keeps the file alive for this namespace only


SYSTEM_FOLDERS = ("/usr", "/etc", "/var")


def overlay_system_folders(scratch):
    """Writable overlays on /usr, /etc and /var in this mount namespace only, so what a package
    install writes stays in a tmpfs on `scratch`. False where the kernel refuses them."""
    run("mount", "-t", "tmpfs", "quillon-overlays", str(scratch))
    for folder in SYSTEM_FOLDERS:
        layers = scratch / folder[1:]
        for layer in ("upper", "work"):
            (layers / layer).mkdir(parents=True)
        if run("mount", "-t", "overlay", "quillon-overlay", "-o",
               f"lowerdir={folder},upperdir={layers}/upper,workdir={layers}/work", folder, check=False).returncode:
            remove_system_overlays(scratch)
            return False
    return True


def remove_system_overlays(scratch):
    """Takes the overlays and their tmpfs away again: the machine's own folders show."""
    for folder in (*reversed(SYSTEM_FOLDERS), str(scratch)):
        source = run("findmnt", "--noheadings", "--output", "SOURCE", "--mountpoint", folder, check=False)
        if source.stdout.strip() in ("quillon-overlay", "quillon-overlays"):
            run("umount", "--lazy", folder)


class Desktop:
    """Xvfb on a free display with a session bus and, unless told otherwise, a tray host."""

    def __init__(self, tray=True, size="1024x768"):
        self.width, self.height = (int(value) for value in size.split("x"))
        self.processes = []
        self.runtime = tempfile.mkdtemp(prefix="quillon-runtime-")
        try:
            self._start(tray, size)
        except BaseException:
            self.close()
            raise

    def _start(self, tray, size):
        # Xvfb picks a free display and writes its number to the pipe.
        # -noreset: a server that resets when its last client leaves refuses
        # connections for a moment, and a desktop without a tray host has none.
        # Only clients with the cookie may connect. The server takes every cookie
        # in its file whatever display it is filed under, so it is filed under
        # :0 for the server and again under the real number for the clients.
        self.auth_file = os.path.join(self.runtime, "Xauthority")
        cookie = secrets.token_hex(16)
        run("xauth", "-q", "-f", self.auth_file, "add", ":0", ".", cookie)
        read_end, write_end = os.pipe()
        self.processes.append(start_helper(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{size}x24", "-nolisten", "tcp",
             "-auth", self.auth_file, "-noreset"],
            pass_fds=(write_end,)))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = pipe.readline().strip()
        if not self.display:
            raise RuntimeError("Xvfb did not start")
        run("xauth", "-q", "-f", self.auth_file, "add", f":{self.display}", ".", cookie)
        # The accessibility bus names its socket after the display, in the
        # runtime folder; desktops in other namespaces have the same number.
        self.env = dict(os.environ, DISPLAY=f":{self.display}", XDG_RUNTIME_DIR=self.runtime,
                        XAUTHORITY=self.auth_file, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        self.env.pop("WAYLAND_DISPLAY", None)
        if not wait_until(lambda: subprocess.run(["xdpyinfo"], env=self.env, capture_output=True).returncode == 0,
                          10):
            raise RuntimeError("Xvfb does not answer")
        bus = start_helper(["dbus-daemon", "--session", "--nofork", "--print-address=1"], env=self.env,
                           stdout=subprocess.PIPE, text=True)
        self.processes.append(bus)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        if not self.env["DBUS_SESSION_BUS_ADDRESS"]:
            raise RuntimeError("dbus-daemon did not start")
        # The accessibility bus up before the program, so that it exposes its widgets.
        subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                        "org.a11y.Bus.GetAddress"], env=self.env, capture_output=True, timeout=10)
        # trayer now and then gives up on a display that has only just come up;
        # it exits at once then, and a second start finds the display.
        for _ in range(3 if tray else 0):
            trayer = start_helper(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                   "64", "--heighttype", "pixel", "--height", "24", "--transparent", "false",
                                   "--SetDockType", "true"], env=self.env)
            self.processes.append(trayer)
            if wait_until(lambda: trayer.poll() is not None or self.find_windows("--class", "trayer"), 10) \
                    and trayer.poll() is None:
                return
        if tray:
            raise RuntimeError("trayer did not start")

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def xdotool(self, *args):
        return run("xdotool", *args, check=False, env=self.env)

    def find_windows(self, *criteria):
        return self.xdotool("search", "--onlyvisible", *criteria).stdout.split()

    def windows_named(self, name):
        """Visible windows whose title is exactly `name` (xdotool matches without case)."""
        return [window for window in self.find_windows("--name", f"^{name}$")
                if self.xdotool("getwindowname", window).stdout.rstrip("\n") == name]

    def window_named(self, name, timeout=10):
        found = wait_until(lambda: self.windows_named(name), timeout)
        return found[0] if found else None

    def opened(self, action, timeout=5):
        """Runs `action` and waits for windows of the program to appear (a menu); those windows."""
        shown = lambda: set(self.find_windows("--class", "quillon"))
        before = shown()
        action()
        return wait_until(lambda: shown() - before, timeout)

    def geometry(self, window):
        """x, y, width, height; None for a window that went away."""
        output = self.xdotool("getwindowgeometry", "--shell", window).stdout
        values = dict(line.split("=", 1) for line in output.split() if "=" in line)
        try:
            return tuple(int(values[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))
        except (KeyError, ValueError):
            return None

    def tray_icons(self):
        """The centres of the program's icons docked in the tray host: its small windows."""
        boxes = [self.geometry(window) for window in self.find_windows("--class", "quillon")]
        return [(x + w // 2, y + h // 2) for x, y, w, h in filter(None, boxes) if w <= 64 and h <= 64]

    def tray_icon(self, timeout=10):
        icons = wait_until(self.tray_icons, timeout)
        return icons[0] if icons else None

    def move(self, x, y):
        # --sync waits for a motion, which never comes when the pointer is already there.
        if f"X={x}\nY={y}\n" not in self.xdotool("getmouselocation", "--shell").stdout:
            self.xdotool("mousemove", "--sync", str(x), str(y))

    def click(self, x, y, button=1):
        self.move(x, y)
        self.xdotool("click", str(button))

    def screenshot(self, path):
        run("import", "-display", f":{self.display}", "-window", "root", str(path))

    def close(self):
        stop_helpers(self.processes)
        shutil.rmtree(self.runtime, ignore_errors=True)


def family(address):
    return socket.AF_INET6 if ":" in address else socket.AF_INET


class Sockets:
    """Sockets held open for the program to see; an address with a colon is an IPv6 one."""

    def __init__(self):
        self.held = []

    def tcp_listen(self, address, port):
        sock = socket.socket(family(address), socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((address, port))
        sock.listen(8)
        self.held.append(sock)
        return sock

    def tcp_pair(self, server, client=("127.0.0.1", 0)):
        """A listener on `server` and one connection to it from `client` (three rows)."""
        listener = self.tcp_listen(*server)
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        connection.bind(client)
        connection.connect(listener.getsockname())
        self.held += [connection, listener.accept()[0]]
        return listener

    def udp(self, address, port):
        sock = socket.socket(family(address), socket.SOCK_DGRAM)
        sock.bind((address, port))
        self.held.append(sock)
        return sock

    def close(self, *socks):
        """Closes without lingering in TIME_WAIT: the endpoints go at once."""
        for sock in socks or list(self.held):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            sock.close()
            self.held.remove(sock)


class Quillon:
    """The built program in a home and working folder of its own (or the ones given)."""

    def __init__(self, desktop, home=None, work=None, user=None, program=None):
        self.desktop = desktop
        self.root = Path(tempfile.mkdtemp(prefix="quillon-program-"))
        self.private_home = home is None
        self.home = self.root / "home" if home is None else Path(home)
        self.work = self.root / "work" if work is None else Path(work)
        # Its own runtime folder, so that programs side by side never meet as one instance.
        self.runtime = self.root / "runtime"
        for folder in (self.home, self.work, self.runtime):
            folder.mkdir(mode=0o700, parents=True, exist_ok=True)
        self.program = Path(program or BUILD_DIR / "quillon").resolve()
        self.user = user
        if user is not None:
            os.chmod(self.root, 0o755)
            for folder in (self.home, self.work, self.runtime):
                os.chown(folder, user, user)
        self.auth_file = None
        if user is not None and getattr(desktop, "auth_file", None):
            # The X desktop's cookie, in a copy that user can read.
            self.auth_file = self.runtime / "Xauthority"
            shutil.copyfile(desktop.auth_file, self.auth_file)
            os.chown(self.auth_file, user, user)
        self.process = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.cleanup()

    @property
    def hive(self):
        return self.home / ".config" / "quillon" / "user.reg"

    @property
    def log(self):
        return self.work / "quillon.log"

    def write_hive(self, bool_prop1=7, refresh_time=1000, log_name="quillon.log", ipv6=None):
        self.hive.parent.mkdir(parents=True, exist_ok=True)
        escaped = log_name.replace("\\", "\\\\").replace('"', '\\"')
        self.hive.write_text("Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_CURRENT_USER\\Software\\Brantwell\\Quillon]\n"
                             f'"BoolProp1"=dword:{bool_prop1:08x}\n"RefreshTime"=dword:{refresh_time:08x}\n'
                             f'"LogName"="{escaped}"\n' +
                             (f'"IPv6"=dword:{ipv6:08x}\n' if ipv6 is not None else ""))
        if self.user is not None:
            for path in (self.hive.parent.parent, self.hive.parent, self.hive):
                os.chown(path, self.user, self.user)

    def start(self):
        self.process = self.launch()
        return self

    def launch(self, **launcher_env):
        """One more launch of the program for the same user and display, with what the launcher adds."""
        env = dict(self.desktop.env, XDG_RUNTIME_DIR=str(self.runtime), **launcher_env)
        if self.auth_file is not None:
            env["XAUTHORITY"] = str(self.auth_file)
        if self.private_home:
            env["HOME"] = str(self.home)
            env.pop("XDG_CONFIG_HOME", None)
        command = [str(self.program)]
        if self.user is not None:
            command = ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--clear-groups", "--", *command]
        return subprocess.Popen(command, cwd=self.work, env=env, preexec_fn=die_with_parent,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def main_window(self, timeout=15):
        return self.desktop.window_named("Quillon", timeout)

    def log_lines(self):
        try:
            return self.log.read_text(errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def ended(self, timeout):
        try:
            self.process.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self, sig=signal.SIGTERM):
        """Ends the program as a session end would; the exit status, or None when it had to be killed."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(sig)
            if not self.ended(10):
                self.process.kill()
                self.process.wait()
                return None
        return self.process.returncode

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)
