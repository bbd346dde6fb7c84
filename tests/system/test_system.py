"""The real program under Xvfb with a real tray host (once under a headless sway), the real
kernel and the system resolver, checked through the files it writes and what its windows
show. One scenario per process, in namespaces of its own: `test_system.py Scenario.test_name`
(77: skipped)."""

import os
import re
import shutil
import signal
import socket
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from desktop import (BUILD_DIR, Desktop, Quillon, Sockets, bind_hosts_file, enter_private_namespace,  # noqa: E402
                     overlay_system_folders, remove_system_overlays, run, wait_until)
from accessible_screen import Screen  # noqa: E402
from wayland_desktop import Sway  # noqa: E402

HOSTS = "127.0.0.1 localhost\n127.0.0.2 alpha.test\n127.0.0.3 bravo.test\n127.0.0.4 charlie.test\n"
NOBODY = 65534
STAMP = r"<<\d{4}-\d\d-\d\d \d\d:\d\d:\d\d>>"
ANY = ("0.0.0.0", 0)


def endpoint_text(address, port):
    return "%3u.%3u.%3u.%3u:%5u" % (*socket.inet_aton(address), port)


def columns(row, endpoint=endpoint_text):
    """A row's four column texts in the window's list; names off unless `endpoint` names them."""
    protocol, local, remote, state = row
    return (protocol, endpoint(*local), endpoint(*remote) if remote else "*.*", state)


def log_line(row, endpoint=endpoint_text):
    protocol, local, remote, state = columns(row, endpoint)
    return f"{protocol}|Local address: {local} - Remote address: {remote} - {state}"


def in_kernel_order(rows):
    """TCP rows first, each protocol by local then remote address and port."""
    def key(row):
        (local, lport), (remote, rport) = row[1], row[2] or ANY
        return row[0] != "TCP", socket.inet_aton(local), lport, socket.inet_aton(remote), rport
    return sorted(rows, key=key)


def hold(sockets, listeners=(), pairs=(), udp=()):
    """Opens the sockets and returns the rows the program should show for them, in its order."""
    rows = []
    for local in listeners:
        sockets.tcp_listen(*local)
        rows.append(("TCP", local, ANY, "LISTEN"))
    for server, client in pairs:
        sockets.tcp_pair(server, client)
        rows += [("TCP", server, ANY, "LISTEN"), ("TCP", client, server, "ESTABLISHED"),
                 ("TCP", server, client, "ESTABLISHED")]
    for local in udp:
        sockets.udp(*local)
        rows.append(("UDP", local, None, " "))
    return in_kernel_order(rows)


def dumps(lines):
    """The row blocks of the log: the row lines after each stamp-only line."""
    blocks = re.findall(rf"^{STAMP}\n((?:(?:TCP|UDP)(?:v6)?\|.*(?:\n|$))+)", "\n".join(lines), re.MULTILINE)
    return [block.splitlines() for block in blocks]


def hive_values(path):
    return dict(re.findall(r'^"([^"]+)"=(.*)$', Path(path).read_text(), re.MULTILINE))


class Scenario(unittest.TestCase):
    def setUp(self):
        self.sockets = Sockets()
        self.addCleanup(self.sockets.close)

    def start_desktop(self, tray=True):
        self.desktop = Desktop(tray=tray)
        self.addCleanup(self.desktop.close)

    def program(self, copies=(), **kwargs):
        """The program, from the build or copied with `copies` into a folder of its own."""
        if copies:
            folder = Path(tempfile.mkdtemp(prefix="quillon-copy-"))
            self.addCleanup(shutil.rmtree, folder, True)
            for name in copies:
                shutil.copy2(BUILD_DIR / name, folder / name)
            kwargs["program"] = folder / "quillon"
        quillon = Quillon(self.desktop, **kwargs)
        self.addCleanup(quillon.cleanup)
        return quillon

    def started(self, quillon, **hive):
        """Starts it with the settings given and waits for its window and first dump."""
        if hive:
            quillon.write_hive(**hive)
        window = quillon.start().main_window()
        self.assertIsNotNone(window, "the main window did not appear")
        self.wait_for_dumps(quillon, 1)
        return window

    def soon(self, predicate, message=None, timeout=5):
        self.assertTrue(wait_until(predicate, timeout, 0.1), message)

    def wait_for_dumps(self, quillon, count):
        self.soon(lambda: len(dumps(quillon.log_lines())) >= count, f"no dump {count}", 15)
        return dumps(quillon.log_lines())[count - 1]

    def key(self, *keys):
        self.desktop.xdotool("key", "--delay", "60", *keys)

    def menu(self, open_it, *keys):
        """Opens a menu with `open_it`, waits for it and picks with `keys` (Up: the last item); its windows."""
        menus = self.desktop.opened(open_it)
        self.assertTrue(menus, "no menu opened")
        if keys:
            self.key(*keys, "Return")
        return menus

    def tray_menu(self, *keys):
        icon = self.desktop.tray_icon()
        self.assertIsNotNone(icon, "no tray icon")
        self.menu(lambda: self.desktop.click(*icon, button=3), *keys)

    def message_box(self):
        box = self.desktop.window_named("quillon", 15)
        self.assertIsNotNone(box, "no message box")
        return box

    def dismiss_box(self, text=None):
        self.desktop.xdotool("windowraise", self.message_box())  # no window manager keeps it above the main window
        screen = Screen(self.desktop)
        if text is not None:
            self.assertIsNotNone(screen.find("label", text, root=screen.find(name="quillon")), "not the box's text")
        self.desktop.click(*screen.centre(screen.find("push button", "OK", root=screen.find(name="quillon"))))
        self.soon(lambda: not self.desktop.windows_named("quillon"), "the box stayed")

    def corner(self, window):
        """A point inside the window, outside its list and buttons."""
        x, y, width, height = self.desktop.geometry(window)
        return x + 4, y + height - 4

    def test_first_start_to_sigterm(self):
        rows = hold(self.sockets, listeners=[("0.0.0.0", 2222), ("127.0.0.2", 8080)],
                    pairs=[(("127.0.0.6", 9000), ("127.0.0.7", 40000))], udp=[("0.0.0.0", 5353)])
        self.start_desktop()
        quillon = self.program(copies=("quillon", "libiphlpapi.so"))
        window = self.started(quillon)
        self.assertEqual(hive_values(quillon.hive),
                         {"BoolProp1": "dword:0000000f", "RefreshTime": "dword:000003e8", "LogName": '"quillon.log"'})

        # Names are on by default: 0.0.0.0 is the computer's name, other addresses their address text until
        # a lookup answers. Only 127.0.0.2 has a name, which may come before the first dump or after.
        def named(resolved):
            hosts = {"0.0.0.0": socket.gethostname(), "127.0.0.2": "alpha.test" if resolved else None}
            return lambda address, port: f"{hosts.get(address) or endpoint_text(address, port)[:15]}:{port}"

        self.assertIn(dumps(quillon.log_lines())[0], [[log_line(row, named(resolved)) for row in rows]
                                                      for resolved in (False, True)])
        screen = Screen(self.desktop)
        table = screen.find("tree")
        alpha = next(row for row in rows if row[1] == ("127.0.0.2", 8080))
        self.soon(lambda: columns(alpha, named(True)) in screen.table_rows(table), "no name in the list", 10)
        added = hold(self.sockets, udp=[("127.0.0.6", 6000)])
        self.assertEqual(self.wait_for_dumps(quillon, 2),
                         [log_line(row, named(True)) for row in in_kernel_order(rows + added)])

        # A package upgrade replaces the program file under the running program.
        quillon.program.unlink()
        self.desktop.xdotool("windowfocus", "--sync", window)
        self.soon(lambda: screen.has(table, "FOCUSED"), "the list does not start focused")
        menus = self.menu(lambda: self.key("alt+space"))
        self.assertEqual(self.desktop.geometry(menus.pop())[:2], self.desktop.geometry(window)[:2])
        items = screen.menu_items()
        self.assertEqual([item.name for item in items], ["Minimize", "Close", "About Quillon..."])
        self.key("Up")
        self.soon(lambda: screen.has(items[-1], "FOCUSED"), "the entry under the focus is not told")
        self.key("Return")
        about = screen.find(name="About Quillon")
        self.assertIsNotNone(about, "About did not open")
        self.assertIsNotNone(screen.find("label", "Quillon v. 1.0.0.6", root=about, timeout=2))
        for dialog in (about, screen.find(name="Quillon")):
            self.assertEqual(screen.unnamed_controls(dialog), [], dialog.name)
        self.key("Return")
        self.soon(lambda: not self.desktop.windows_named("About Quillon"), "About stayed")

        # An impatient session end signals again every 5 ms: none of the later ones cuts the close short.
        for _ in range(2000):
            if quillon.process.poll() is not None:
                break
            quillon.process.send_signal(signal.SIGTERM)
            time.sleep(0.005)
        self.assertEqual(quillon.stop(), 0)
        self.assertRegex(quillon.log_lines()[-2], f"^{STAMP}$")
        self.assertEqual(quillon.log_lines()[-1], "-" * 80)

    def test_changes_list_copy_and_hover(self):
        rows = hold(self.sockets, listeners=[("127.0.0.2", 8080), ("0.0.0.0", 2222)],
                    pairs=[(("127.0.0.3", 9000), ("127.0.0.4", 40000))], udp=[("0.0.0.0", 5353), ("127.0.0.2", 6000)])
        # With the IPv6 option on, the IPv6 rows follow the IPv4 ones.
        self.sockets.tcp_listen("::1", 9996)
        self.sockets.udp("::1", 9993)
        v6 = [("TCPv6", "[::1]: 9996", "[::]:    0", "LISTEN"), ("UDPv6", "[::1]: 9993", "*.*", " ")]
        v6_lines = [f"{p}|Local address: {local} - Remote address: {remote} - {s}" for p, local, remote, s in v6]
        self.start_desktop()
        quillon = self.program()
        window = self.started(quillon, bool_prop1=7, refresh_time=500, ipv6=1)
        self.assertEqual(dumps(quillon.log_lines())[0], [log_line(row) for row in rows] + v6_lines)
        extra = self.sockets.udp("127.0.0.3", 7777)
        more = in_kernel_order(rows + [("UDP", ("127.0.0.3", 7777), None, " ")])
        self.assertEqual(self.wait_for_dumps(quillon, 2), [log_line(row) for row in more] + v6_lines)
        self.sockets.close(extra)
        self.assertEqual(self.wait_for_dumps(quillon, 3), [log_line(row) for row in rows] + v6_lines)
        screen = Screen(self.desktop)
        table = screen.find("tree")
        shown = wait_until(lambda: screen.table_rows(table) == [columns(row) for row in rows] + v6 and
                           screen.table_rows(table), 5)
        self.assertTrue(shown, "the list does not show the endpoints")
        before = quillon.log_lines()
        time.sleep(2.5)  # five periods with nothing changing
        self.assertEqual(quillon.log_lines(), before)

        # Copy: the column texts as shown, blanks kept, joined by tabs, with a line end.
        udp = shown.index(columns(("UDP", ("0.0.0.0", 5353), None, " ")))
        clipboard = lambda: run("xclip", "-o", "-selection", "clipboard", check=False, env=self.desktop.env).stdout
        for row, way in [(0, "ctrl+c"), (udp, "right click"), (1, "Menu"), (2, "shift+F10"), (len(rows), "ctrl+c")]:
            with self.subTest(way=way):
                point = screen.centre(table.queryTable().getAccessibleAt(row, 1))
                if way == "right click":
                    self.menu(lambda: self.desktop.click(*point, button=3), "Down")  # "Copy"
                else:
                    self.desktop.click(*point)
                    time.sleep(0.3)
                    if way == "ctrl+c":
                        self.key(way)
                    else:
                        self.menu(lambda: self.key(way), "Down")
                copied = "\t".join(shown[row]) + "\n"
                self.assertEqual(wait_until(lambda: clipboard() == copied and copied, 5), copied)

        # Ctrl+F and an address as typed, blanks or not: its lines stay, and the title counts them.
        self.key("ctrl+f")
        self.desktop.xdotool("type", "--delay", "60", "127.0.0.2")
        kept = [columns(row) for row in rows if "127.0.0.2" in (row[1][0], (row[2] or ("",))[0])]
        self.assertEqual(wait_until(lambda: screen.table_rows(table) == kept and kept, 5), kept)
        self.assertIsNotNone(screen.find(name=f"Quillon ({len(kept)} of {len(shown)})", timeout=5))
        self.key("Escape")
        self.assertIsNotNone(screen.find(name="Quillon", timeout=5))
        self.assertEqual(screen.table_rows(table), shown)

        # Hovering a line, IPv4 then IPv6, names the processes that hold its endpoint.
        text = f"{Path('/proc/self/comm').read_text().strip()} (pid {os.getpid()}, user root)"
        for row in (shown.index(columns(rows[0])), len(rows)):
            self.desktop.click(*self.corner(window))  # tooltips show in the active window
            self.assertTrue(wait_until(lambda: screen.tooltip() is None, 5), "a tooltip stays up")
            x, y = screen.centre(table.queryTable().getAccessibleAt(row, 1))
            self.desktop.move(x, y)
            self.desktop.move(x + 2, y)
            self.assertEqual(wait_until(lambda: screen.tooltip() == text and text, 10), text,
                             f"the tooltip of line {row} shows {screen.tooltip()!r}")

    def test_properties_by_mouse_while_the_log_box_is_up(self):
        """The log's box comes at every change while the log can't be opened; logging off is the way out."""
        hold(self.sockets, listeners=[("127.0.0.2", 8080)], udp=[("0.0.0.0", 5353)])
        self.start_desktop()
        quillon = self.program()
        quillon.write_hive(bool_prop1=7, log_name="missing-folder/quillon.log")
        quillon.start()
        self.message_box()  # the log's
        screen = Screen(self.desktop)
        self.tray_menu()
        self.assertEqual([item.name for item in screen.menu_items()], ["Show window", "Properties...", "Close"])
        self.key("Down", "Down", "Return")  # "Properties..."
        dialog = screen.find(name="Quillon properties")
        self.assertIsNotNone(dialog, "the properties dialog did not open beside the box")
        for window in (dialog, screen.find(name="quillon")):
            self.assertEqual(screen.unnamed_controls(window), [], window.name)
        logging = screen.find("check box", "Print logfile.      File name:", root=dialog)
        self.desktop.click(*screen.centre(logging))
        self.soon(lambda: not screen.has(logging, "CHECKED"), "the click missed the dialog")
        self.desktop.click(*screen.centre(screen.find("push button", "Apply", root=dialog)))
        self.soon(lambda: hive_values(quillon.hive).get("BoolProp1") == "dword:00000006", "logging not turned off")

        # Close from the tray ends the program with the box still up.
        self.assertTrue(self.desktop.windows_named("quillon"))
        self.tray_menu("Up")  # "Close"
        self.assertTrue(quillon.ended(10), "the program did not end")
        self.assertEqual(quillon.process.returncode, 0)
        self.assertFalse((quillon.work / "missing-folder").exists())

    def test_no_library_no_tray_one_instance(self):
        self.start_desktop(tray=False)
        alone = self.program(copies=("quillon",))
        alone.start()
        self.dismiss_box()  # "LoadLibrary"
        self.assertTrue(alone.ended(10), "the program went on without its library")
        self.assertFalse(alone.log.exists())

        hold(self.sockets, udp=[("0.0.0.0", 5353)])
        quillon = self.program()
        quillon.write_hive(bool_prop1=7)
        quillon.start()
        # Without a tray the program says why and goes on.
        self.dismiss_box("ERROR: API        = AddStatusIcon\n       error code = 19\n"
                         "       message    = No such device\n")
        window = quillon.main_window()
        self.assertIsNotNone(window, "the main window did not appear")
        self.wait_for_dumps(quillon, 1)

        # Hidden without a tray to bring it back, a later launch does, touching neither settings nor log.
        self.desktop.click(*self.corner(window))
        self.key("Escape")
        self.soon(lambda: not self.desktop.windows_named("Quillon"), "Esc did not hide it")
        files = lambda: (quillon.hive.read_bytes(), quillon.hive.stat().st_mtime_ns, quillon.log_lines())
        before = files()
        self.assertEqual(quillon.launch().wait(15), 0)
        self.assertEqual(quillon.main_window(5), window)
        self.soon(lambda: self.desktop.xdotool("getwindowfocus").stdout.strip() == window, "not activated")
        self.assertEqual(files(), before)

    def test_wayland_second_launch_brings_it_in_front(self):
        """Under sway as an ordinary user: a launch with the compositor's token puts the window in front."""
        hold(self.sockets, udp=[("0.0.0.0", 5353)])
        self.desktop = Sway(NOBODY)  # says why when it cannot start
        self.addCleanup(self.desktop.close)
        quillon = self.program(user=NOBODY)
        quillon.start()
        self.wait_for_dumps(quillon, 1)  # no box in the way: the bar hosts its icon
        window = lambda: self.desktop.view(quillon.process.pid) or {}
        self.soon(lambda: window().get("visible"), "the main window did not appear")
        other = self.desktop.start_client(["foot", "sleep", "infinity"])
        front = lambda pid: self.desktop.focused_pid() == pid and self.desktop.view(pid)["visible"]
        self.soon(lambda: front(other.pid) and not window()["visible"], "the other window did not come in front")

        self.assertEqual(quillon.launch(XDG_ACTIVATION_TOKEN=self.desktop.activation_token()).wait(15), 0)
        self.soon(lambda: front(quillon.process.pid), "not brought to the front")
        self.assertEqual(quillon.stop(), 0)
        self.assertRegex(quillon.log_lines()[-2], f"^{STAMP}$")
        self.assertEqual(quillon.log_lines()[-1], "-" * 80)

    def test_package_installs_and_runs(self):
        """Installed with apt as a user would, run by an ordinary user, and nothing left on the machine."""
        package = max(BUILD_DIR.glob("quillon_*.deb"), key=lambda path: path.stat().st_mtime, default=None)
        self.assertIsNotNone(package, f"no package in {BUILD_DIR} (make package)")
        version = run("dpkg-deb", "--field", str(package), "Version").stdout.strip()
        machine = lambda: (run("dpkg-query", "--show", "--showformat=${Status} ${Version}", "quillon",
                               check=False).stdout, Path("/usr/bin/quillon").exists())
        before = machine()
        scratch = Path(tempfile.mkdtemp(prefix="quillon-package-"))
        self.addCleanup(shutil.rmtree, scratch, True)
        scratch.chmod(0o755)
        root = Path("/")
        if overlay_system_folders(scratch):
            self.addCleanup(remove_system_overlays, scratch)
            bind_hosts_file(HOSTS)  # the overlay on /etc hides the private one
            installed = run("apt-get", "install", "--yes", str(package.resolve()), check=False,
                            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
            self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        else:
            root = scratch / "root"
            run("dpkg-deb", "--extract", str(package), str(root))
        for path in ("share/applications/quillon.desktop", "share/icons/hicolor/scalable/apps/quillon.svg",
                     *(f"share/icons/hicolor/{size}x{size}/apps/quillon.png" for size in (32, 48, 64, 128)),
                     "share/metainfo/org.example.quillon.metainfo.xml", "share/man/man1/quillon.1.gz"):
            self.assertTrue((root / "usr" / path).is_file(), path)

        rows = hold(self.sockets, listeners=[("127.0.0.2", 8080)], udp=[("0.0.0.0", 5353)])
        self.start_desktop()
        quillon = self.program(user=NOBODY, program=root / "usr/bin/quillon")
        self.started(quillon)
        self.assertEqual(os.stat(quillon.hive).st_uid, NOBODY)
        lines = quillon.log_lines()
        self.assertEqual(lines[1], f"Product version: {version}")  # the record outlives stripping
        self.assertEqual(len(dumps(lines)[0]), len(rows))

        quillon.stop()
        self.desktop.close()
        remove_system_overlays(scratch)
        self.assertEqual(machine(), before, "the install reached the machine")


if __name__ == "__main__":
    if os.geteuid() != 0 or not enter_private_namespace(HOSTS):
        print("skipped: system scenarios need root and namespaces of their own")
        sys.exit(77)
    unittest.main(verbosity=2)
