"""The real program under Xvfb with a real tray host, the real kernel and the
system resolver; checked through the files it writes and the windows it shows.

Run one scenario per process: `python3 test_system.py Scenario.test_name`,
inside a private network and mount namespace (CMakeLists.txt does that).
"""

import ipaddress
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from desktop import (BUILD_DIR, NOBODY, Accessibility, Desktop, Quillon, Sockets, bind_hosts_file,  # noqa: E402
                     overlay_system_folders, prepare_namespace, remove_system_overlays, run, wait_until)

HOSTS = """127.0.0.1 localhost
127.0.0.2 alpha.test
127.0.0.3 bravo.test
127.0.0.4 charlie.test
"""

STAMP = r"<<\d{4}-\d\d-\d\d \d\d:\d\d:\d\d>>"
STAMP_LINE = re.compile(f"^{STAMP}$")
SEPARATOR = "-" * 80


def address_text(address):
    return "%3u.%3u.%3u.%3u" % tuple(ipaddress.IPv4Address(address).packed)


def endpoint_text(address, port):
    return "%s:%5u" % (address_text(address), port)


def row_line(protocol, local, remote=None, state=" "):
    """One log line with names off, as the program writes it."""
    if protocol == "UDP":
        return f"UDP|Local address: {endpoint_text(*local)} - Remote address: *.* -  "
    return f"TCP|Local address: {endpoint_text(*local)} - Remote address: {endpoint_text(*remote)} - {state}"


def list_line(protocol, local, remote=None, state=" "):
    """One line of the window's list with names off: its four column texts."""
    if protocol == "UDP":
        return ("UDP", endpoint_text(*local), "*.*", " ")
    return ("TCP", endpoint_text(*local), endpoint_text(*remote), state)


def sort_key(row):
    (local, lport), (remote, rport) = row[1], row[2] or ("0.0.0.0", 0)
    return (int(ipaddress.IPv4Address(local)), lport, int(ipaddress.IPv4Address(remote)), rport)


def expected_lines(tcp_rows, udp_rows):
    """Rows as (protocol, local, remote, state), in the kernel's sorted order: TCP first."""
    tcp = sorted(tcp_rows, key=sort_key)
    udp = sorted(udp_rows, key=sort_key)
    return [row_line(*row) for row in tcp] + [row_line(*row) for row in udp]


def dumps(lines):
    """The row blocks of the log: each stamp-only line and the row lines after it."""
    blocks = []
    for line in lines:
        if STAMP_LINE.match(line):
            blocks.append([])
        elif blocks and (line.startswith("TCP|") or line.startswith("UDP|")):
            blocks[-1].append(line)
    return [block for block in blocks if block]


def hive_values(path):
    values = {}
    for line in Path(path).read_text().splitlines():
        match = re.match(r'^"([^"]+)"=(.*)$', line)
        if match:
            values[match.group(1)] = match.group(2)
    return values


class Scenario(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("system tests need root for their private namespaces")
        if not (BUILD_DIR / "quillon").exists():
            self.skipTest(f"no program at {BUILD_DIR / 'quillon'}")
        prepare_namespace(HOSTS)
        self.sockets = Sockets()
        self.addCleanup(self.sockets.close)

    def start_desktop(self, tray=True):
        desktop = Desktop(tray=tray)
        self.addCleanup(desktop.close)
        return desktop

    def program(self, desktop, **kwargs):
        quillon = Quillon(desktop, **kwargs)
        self.addCleanup(quillon.cleanup)
        return quillon

    def assert_centred(self, desktop, window):
        """A start-up box stands over the middle of the screen, where the main window goes."""
        x, y, width, height = desktop.geometry(window)
        middle = (x + width // 2, y + height // 2)
        for axis, expected in enumerate((desktop.width // 2, desktop.height // 2)):
            self.assertLess(abs(middle[axis] - expected), 60, f"box at {x},{y} is not centred")

    def dismiss_box(self, desktop, title="quillon"):
        window = desktop.window_named(title, timeout=15)
        self.assertIsNotNone(window, f"no message box titled {title!r}")
        self.assert_centred(desktop, window)
        desktop.xdotool("windowactivate", "--sync", window)
        desktop.key("Return", window=window)
        self.assertTrue(wait_until(lambda: not desktop.windows_named(title), 5), "the box stayed")
        return window

    def open_known_sockets(self):
        """Listeners, an established pair and UDP sockets; returns the expected TCP and UDP rows."""
        s = self.sockets
        s.tcp_listen("127.0.0.2", 8080)
        s.tcp_listen("0.0.0.0", 2222)
        _, client, _ = s.tcp_pair("127.0.0.3", 9000, client_address="127.0.0.4", client_port=40000)
        s.udp("0.0.0.0", 5353)
        s.udp("127.0.0.2", 6000)
        tcp = [
            ("TCP", ("127.0.0.2", 8080), ("0.0.0.0", 0), "LISTEN"),
            ("TCP", ("0.0.0.0", 2222), ("0.0.0.0", 0), "LISTEN"),
            ("TCP", ("127.0.0.3", 9000), ("0.0.0.0", 0), "LISTEN"),
            ("TCP", ("127.0.0.4", 40000), ("127.0.0.3", 9000), "ESTABLISHED"),
            ("TCP", ("127.0.0.3", 9000), ("127.0.0.4", 40000), "ESTABLISHED"),
        ]
        udp = [("UDP", ("0.0.0.0", 5353), None), ("UDP", ("127.0.0.2", 6000), None)]
        return tcp, udp

    def test_first_start_writes_defaults_and_first_dump(self):
        # Addresses the private hosts file does not name, so their lookups fail
        # and the first dump is the same whichever way the race with them goes.
        s = self.sockets
        s.tcp_listen("127.0.0.1", 8080)
        s.tcp_listen("0.0.0.0", 2222)
        s.tcp_pair("127.0.0.6", 9000, client_address="127.0.0.7", client_port=40000)
        s.udp("0.0.0.0", 5353)
        s.udp("127.0.0.6", 80)
        tcp = [
            ("TCP", ("127.0.0.1", 8080), ("0.0.0.0", 0), "LISTEN"),
            ("TCP", ("0.0.0.0", 2222), ("0.0.0.0", 0), "LISTEN"),
            ("TCP", ("127.0.0.6", 9000), ("0.0.0.0", 0), "LISTEN"),
            ("TCP", ("127.0.0.7", 40000), ("127.0.0.6", 9000), "ESTABLISHED"),
            ("TCP", ("127.0.0.6", 9000), ("127.0.0.7", 40000), "ESTABLISHED"),
        ]
        udp = [("UDP", ("0.0.0.0", 5353), None), ("UDP", ("127.0.0.6", 80), None)]
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        self.assertFalse(quillon.hive.exists())
        quillon.start()
        self.assertIsNotNone(quillon.main_window(), "the main window did not appear")
        self.assertTrue(wait_until(quillon.hive.exists, 10), "no hive written")
        values = hive_values(quillon.hive)
        self.assertEqual(values["BoolProp1"], "dword:0000000f")
        self.assertEqual(values["RefreshTime"], "dword:000003e8")
        self.assertEqual(values["LogName"], '"quillon.log"')

        rows = len(tcp) + len(udp)
        self.assertTrue(quillon.wait_for_log(lambda lines: len(lines) >= 3 + rows))
        lines = quillon.log_lines()
        self.assertRegex(lines[0], f"^Quillon session opened  {STAMP}$")
        self.assertEqual(lines[1], "Product version: 1.0.0.6")
        self.assertRegex(lines[2], STAMP_LINE)
        # Names are on by default: 0.0.0.0 and 127.0.0.1 show the computer's name,
        # other addresses their address text until a lookup answers.
        me = socket.gethostname()
        services = {8080: "8080", 2222: "2222", 9000: "9000", 40000: "40000", 5353: "5353", 80: "http", 0: "0"}

        def host(address):
            return me if address in ("0.0.0.0", "127.0.0.1") else address_text(address)

        def named(address, port):
            return f"{host(address)}:{services[port]}"

        expected = []
        for row in sorted(tcp, key=sort_key):
            expected.append(f"TCP|Local address: {named(*row[1])} - Remote address: {named(*row[2])} - {row[3]}")
        for row in sorted(udp, key=sort_key):
            expected.append(f"UDP|Local address: {named(*row[1])} - Remote address: *.* -  ")
        self.assertEqual(lines[3:3 + rows], expected)

    def test_changes_are_dumped_once_each(self):
        tcp, udp = self.open_known_sockets()
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7, refresh_time=500)
        quillon.start()
        self.assertIsNotNone(quillon.main_window())
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))
        self.assertEqual(dumps(quillon.log_lines())[0], expected_lines(tcp, udp))

        # The window's list shows the same rows, in the same order, as the log.
        screen = Accessibility(desktop)
        table = screen.find("tree")
        self.assertIsNotNone(table, "the list is not exposed to assistive technology")
        expected = [list_line(*row) for row in sorted(tcp, key=sort_key) + sorted(udp, key=sort_key)]
        self.assertEqual(screen.table_rows(table), expected)

        extra = self.sockets.udp("127.0.0.3", 7777)
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 2, timeout=10))
        self.assertEqual(dumps(quillon.log_lines())[1],
                         expected_lines(tcp, udp + [("UDP", ("127.0.0.3", 7777), None)]))
        self.assertIn(list_line("UDP", ("127.0.0.3", 7777)),
                      wait_until(lambda: screen.table_rows(table), 5))

        self.sockets.close(extra)
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 3, timeout=10))
        self.assertEqual(dumps(quillon.log_lines())[2], expected_lines(tcp, udp))

        before = quillon.log_lines()
        time.sleep(2.5)  # five periods with nothing changing
        self.assertEqual(quillon.log_lines(), before)

    def test_resolved_name_replaces_address_text(self):
        self.sockets.tcp_listen("127.0.0.2", 8080)
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=15, refresh_time=500)
        quillon.start()
        self.assertIsNotNone(quillon.main_window())
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))
        # The first dump may come before or after the lookup answers; the next
        # one is well after it.
        first = dumps(quillon.log_lines())[0]
        self.assertIn(first[0], [f"TCP|Local address: {host}:8080 - Remote address: {socket.gethostname()}:0 - LISTEN"
                                 for host in (address_text("127.0.0.2"), "alpha.test")])
        time.sleep(1.5)
        self.sockets.udp("127.0.0.4", 6000)
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 2, timeout=10))
        second = dumps(quillon.log_lines())[1]
        self.assertTrue(second[0].startswith("TCP|Local address: alpha.test:8080 - "), second[0])

    def test_tray_properties_by_keyboard(self):
        self.open_known_sockets()
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7, refresh_time=1000)
        quillon.start()
        self.assertIsNotNone(quillon.main_window())
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))
        time.sleep(1)

        position = wait_until(desktop.tray_icon_position, 10)
        desktop.right_click(*position)
        time.sleep(0.5)
        desktop.key("Down", "Down", "Return")  # "Properties..."
        dialog = desktop.window_named("Quillon properties", 10)
        self.assertIsNotNone(dialog, "the properties dialog did not appear")
        desktop.xdotool("windowactivate", "--sync", dialog)
        self.set_properties(desktop, refresh="2000", untick_udp=True)

        self.assertTrue(quillon.wait_for_log(lambda lines: "Chenged properties..." in lines, 10))
        lines = quillon.log_lines()
        notes = lines[lines.index("Chenged properties..."):]
        self.assertEqual(notes[1:3], ["SetRefreshTime: 2000ms.", "Scanning TCP-connections"])
        self.assertNotIn("Scanning UDP-connections", notes)
        values = wait_until(lambda: hive_values(quillon.hive).get("RefreshTime") == "dword:000007d0"
                            and hive_values(quillon.hive), 5)
        self.assertTrue(values, "the hive did not receive the new period")
        self.assertEqual(values["BoolProp1"], "dword:00000003")

    def set_properties(self, desktop, refresh, untick_udp):
        """Drives the dialog from the keyboard: its tab order is fixed."""
        # Focus starts on Apply; the tab order is Apply, Cancel, name, logging,
        # refresh, TCP, UDP, names.
        desktop.key("Tab", "Tab", "Tab", "Tab")
        desktop.key("ctrl+a")
        desktop.type_text(refresh)
        if untick_udp:
            desktop.key("Tab", "Tab", "space")
        desktop.key("Return")

    def test_sigterm_closes_the_log(self):
        self.open_known_sockets()
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7)
        quillon.start()
        self.assertIsNotNone(quillon.main_window())
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))
        quillon.terminate(signal.SIGTERM)
        self.assertTrue(quillon.ended(10))
        lines = quillon.log_lines()
        self.assertRegex(lines[-2], STAMP_LINE)
        self.assertEqual(lines[-1], SEPARATOR)

    def test_missing_library_reports_and_ends(self):
        desktop = self.start_desktop()
        alone = Path(tempfile.mkdtemp(prefix="quillon-alone-"))
        self.addCleanup(shutil.rmtree, alone, True)
        shutil.copy2(BUILD_DIR / "quillon", alone / "quillon")
        quillon = self.program(desktop, program=alone / "quillon")
        quillon.start()
        self.dismiss_box(desktop)
        self.assertTrue(quillon.ended(10), "the program went on without its library")
        self.assertFalse(quillon.log.exists())

    def test_without_tray_host_goes_on(self):
        self.open_known_sockets()
        desktop = self.start_desktop(tray=False)
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7)
        quillon.start()
        self.dismiss_box(desktop)
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))
        self.assertIsNone(quillon.process.poll())

    def test_about_survives_a_replaced_program(self):
        # A package upgrade replaces the program file under the running program.
        desktop = self.start_desktop()
        folder = Path(tempfile.mkdtemp(prefix="quillon-upgrade-"))
        self.addCleanup(shutil.rmtree, folder, True)
        for name in ("quillon", "libiphlpapi.so"):
            shutil.copy2(BUILD_DIR / name, folder / name)
        quillon = self.program(desktop, program=folder / "quillon")
        quillon.write_hive(bool_prop1=7)
        quillon.start()
        window = quillon.main_window()
        self.assertIsNotNone(window)
        (folder / "quillon").unlink()

        screen = Accessibility(desktop)
        self.assertIsNotNone(screen.window("Quillon"))
        desktop.xdotool("windowfocus", "--sync", window)
        desktop.key("alt+space")
        time.sleep(0.5)
        desktop.key("Up", "Return")  # "&About Quillon...", the last item
        about = screen.window("About Quillon")
        self.assertIsNotNone(about, "the About box did not open")
        self.assertIsNotNone(screen.find("label", "Quillon v. 1.0.0.6", root=about, timeout=2))

    def test_package_installs_and_runs(self):
        """The package installed as a user installs it, its program run by an
        ordinary user, and nothing of it left on the machine afterwards."""
        package = max(BUILD_DIR.glob("quillon_*.deb"), key=lambda path: path.stat().st_mtime, default=None)
        self.assertIsNotNone(package, f"no package in {BUILD_DIR} (make package)")
        version = run("dpkg-deb", "--field", str(package), "Version").stdout.strip()

        def machine_state():
            status = run("dpkg-query", "--show", "--showformat=${Status} ${Version}", "quillon", check=False)
            return status.stdout, Path("/usr/bin/quillon").exists()

        before = machine_state()
        scratch = Path(tempfile.mkdtemp(prefix="quillon-package-"))
        self.addCleanup(shutil.rmtree, scratch, True)
        scratch.chmod(0o755)
        if overlay_system_folders(scratch):
            self.addCleanup(remove_system_overlays, scratch)
            bind_hosts_file(HOSTS)  # the overlay on /etc hides the private one
            installed = run("apt-get", "install", "--yes", str(package.resolve()), check=False,
                            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
            self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
            root = Path("/")
        else:
            root = scratch / "root"
            run("dpkg-deb", "--extract", str(package), str(root))
        hicolor = root / "usr/share/icons/hicolor"
        for size in (32, 48, 64, 128):
            png = (hicolor / f"{size}x{size}/apps/quillon.png").read_bytes()
            self.assertEqual(struct.unpack(">II", png[16:24]), (size, size), f"{size} px icon")
        for path in ("lib/quillon/libiphlpapi.so", "share/applications/quillon.desktop",
                     "share/icons/hicolor/scalable/apps/quillon.svg",
                     "share/metainfo/org.example.quillon.metainfo.xml",
                     "share/man/man1/quillon.1.gz", "share/doc/quillon/copyright"):
            self.assertTrue((root / "usr" / path).is_file(), path)

        tcp, udp = self.open_known_sockets()
        desktop = self.start_desktop()
        quillon = self.program(desktop, user=NOBODY, program=root / "usr/bin/quillon")
        quillon.start()
        self.assertIsNotNone(quillon.main_window())
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))
        self.assertEqual(os.stat(quillon.hive).st_uid, NOBODY)
        lines = quillon.log_lines()
        self.assertEqual(lines[1], f"Product version: {version}")  # the record outlives stripping
        self.assertEqual(len(dumps(lines)[0]), len(tcp) + len(udp))

        quillon.stop()
        desktop.close()
        remove_system_overlays(scratch)
        self.assertEqual(machine_state(), before, "the install reached the machine")

    def test_window_menu_from_the_list(self):
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=6)
        quillon.start()
        window = quillon.main_window()
        self.assertIsNotNone(window)
        screen = Accessibility(desktop)
        table = screen.find("tree", root=screen.window("Quillon"))
        desktop.xdotool("windowfocus", "--sync", window)
        self.assertTrue(wait_until(lambda: screen.has_focus(table), 5), "the list does not start with the focus")

        desktop.key("alt+space")
        # Screen readers meet a menu through its items; its window is found on the X server.
        menus = wait_until(lambda: [other for other in desktop.find_windows("--class", "quillon")
                                    if other != window and desktop.geometry(other)[2] > 64], 5)
        self.assertEqual(len(menus), 1, "Alt+Space in the list opened no window menu")
        self.assertEqual(desktop.geometry(menus[0])[:2], desktop.geometry(window)[:2])
        desktop.key("Up", "Return")  # the last item, "&About Quillon..."
        about = screen.window("About Quillon")
        self.assertIsNotNone(about, "About did not open")
        self.assertIsNotNone(screen.find("label", "Quillon v. 1.0.0.6", root=about, timeout=2))
        desktop.key("Return")
        self.assertTrue(wait_until(lambda: not desktop.windows_named("About Quillon"), 5))

    def test_properties_by_mouse_while_the_log_box_is_up(self):
        """The log's box comes at every change while the log can't be opened;
        turning logging off in the properties, with the mouse, is the way out."""
        self.open_known_sockets()
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7, log_name="missing-folder/quillon.log")
        quillon.start()
        box = desktop.window_named("quillon", timeout=15)
        self.assertIsNotNone(box, "no box for the log")
        self.assert_centred(desktop, box)

        position = wait_until(desktop.tray_icon_position, 10)
        self.assertTrue(desktop.open_menu(*position), "no tray menu beside the box")
        desktop.key("Down", "Down", "Return")  # "Properties..."
        screen = Accessibility(desktop)
        dialog = screen.window("Quillon properties")
        self.assertIsNotNone(dialog, "the properties dialog did not open beside the box")
        logging = screen.find("check box", "Print logfile.      File name:", root=dialog)
        name = [edit for edit in screen.nodes(dialog, "text") if screen.text(edit) == "missing-folder/quillon.log"]
        self.assertEqual(len(name), 1)
        desktop.click(*screen.centre(logging))
        self.assertTrue(wait_until(lambda: not screen.is_checked(logging), 5), "the click did not reach the dialog")
        self.assertFalse(screen.is_enabled(name[0]))
        desktop.click(*screen.centre(screen.find("push button", "Apply", root=dialog)))
        self.assertTrue(wait_until(lambda: hive_values(quillon.hive).get("BoolProp1") == "dword:00000006", 5),
                        "Apply did not turn logging off")

        # Close from the tray ends the program with the box still up.
        self.assertTrue(desktop.windows_named("quillon"))
        self.assertTrue(desktop.open_menu(*position))
        desktop.key("Up", "Return")  # "Close", the last item
        self.assertTrue(wait_until(lambda: not desktop.tray_icons(), 5), "the icon stayed")
        self.assertTrue(quillon.ended(10), "the program did not end")
        self.assertEqual(quillon.process.returncode, 0)
        self.assertFalse((quillon.work / "missing-folder").exists())


    def test_one_instance_per_user_and_display(self):
        self.open_known_sockets()
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7)
        launches = [quillon.launch(), quillon.launch()]
        for launch in launches:
            self.addCleanup(launch.kill)
        # Launched at the same moment: one runs, the other ends at once.
        self.assertTrue(wait_until(lambda: [launch.poll() for launch in launches].count(None) == 1, 15))
        running = next(launch for launch in launches if launch.poll() is None)
        self.assertEqual([launch.poll() for launch in launches if launch is not running], [0])
        window = quillon.main_window()
        self.assertIsNotNone(window)
        self.assertTrue(quillon.wait_for_log(lambda lines: len(dumps(lines)) >= 1))

        # Hidden without a tray to bring it back, a later launch does.
        desktop.click(*self.window_corner(desktop, window))
        desktop.key("Escape")
        self.assertTrue(wait_until(lambda: not desktop.windows_named("Quillon"), 5), "Esc did not hide it")
        self.assertEqual(quillon.launch().wait(15), 0)
        self.assertEqual(quillon.main_window(5), window)
        self.assertTrue(wait_until(lambda: desktop.xdotool("getwindowfocus").stdout.strip() == window, 5),
                        "the window was not activated")
        opened = lambda lines: sum(line.startswith("Quillon session opened") for line in lines)
        self.assertEqual(opened(quillon.log_lines()), 1, "a later launch wrote to the log")

        # Killed, it leaves its socket behind; that does not stop the next start.
        running.kill()
        running.wait()
        self.assertTrue(any(path.is_socket() for path in quillon.runtime.iterdir()))
        quillon.start()
        self.assertTrue(quillon.wait_for_log(lambda lines: opened(lines) == 2))
        self.assertIsNone(quillon.process.poll())

    def window_corner(self, desktop, window):
        """A point inside the window, outside its list and buttons."""
        x, y, width, height = desktop.geometry(window)
        return x + 4, y + height - 4

    def start_showing_list(self, lines):
        """The program with names off, once its list shows `lines` lines:
        the desktop, the window, the screen reader's view, the list and its lines."""
        desktop = self.start_desktop()
        quillon = self.program(desktop)
        quillon.write_hive(bool_prop1=7, refresh_time=5000)
        quillon.start()
        window = quillon.main_window()
        self.assertIsNotNone(window)
        screen = Accessibility(desktop)
        table = screen.find("tree")
        self.assertIsNotNone(table)
        rows = wait_until(lambda: len(screen.table_rows(table)) >= lines and screen.table_rows(table), 10)
        self.assertTrue(rows, "the list did not fill")
        return desktop, window, screen, table, rows

    def test_hover_names_the_owning_process(self):
        self.sockets.tcp_listen("127.0.0.2", 8080)
        # A listener of another user's process.
        helper = subprocess.Popen(
            ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", "--", sys.executable, "-c",
             "import socket, time; s = socket.socket(); s.bind(('127.0.0.3', 9090)); s.listen();"
             " print(flush=True); time.sleep(600)"],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(helper.kill)
        helper.stdout.readline()
        # Its client closes first, so the client's end stays in TIME_WAIT with no process.
        listener = self.sockets.tcp_listen("127.0.0.4", 7070)
        client = socket.create_connection(("127.0.0.4", 7070), source_address=("127.0.0.5", 40000))
        accepted, _ = listener.accept()
        client.close()
        accepted.recv(1)
        accepted.close()

        desktop, window, screen, table, rows = self.start_showing_list(4)
        desktop.click(*self.window_corner(desktop, window))  # tooltips show in the active window

        def command(pid):
            return Path(f"/proc/{pid}/comm").read_text().strip()

        expected = {
            list_line("TCP", ("127.0.0.2", 8080), ("0.0.0.0", 0), "LISTEN"):
                f"{command(os.getpid())} (pid {os.getpid()}, user root)",
            list_line("TCP", ("127.0.0.3", 9090), ("0.0.0.0", 0), "LISTEN"):
                f"{command(helper.pid)} (pid {helper.pid}, user nobody)",
            list_line("TCP", ("127.0.0.5", 40000), ("127.0.0.4", 7070), "TIME_WAIT"):
                "No process holds this endpoint.",
        }
        for line, text in expected.items():
            with self.subTest(line=line):
                self.assertIn(line, rows)
                x, y = screen.centre(screen.cell(table, rows.index(line), 1))
                desktop.xdotool("mousemove", "--sync", str(x), str(y))
                desktop.xdotool("mousemove", "--sync", str(x + 2), str(y))
                self.assertEqual(wait_until(lambda: screen.tooltip() == text and text, 10), text,
                                 f"the tooltip shows {screen.tooltip()!r}")

    def test_copy_a_line(self):
        self.open_known_sockets()
        desktop, window, screen, table, rows = self.start_showing_list(7)
        udp = rows.index(list_line("UDP", ("0.0.0.0", 5353)))

        def click(row, button=1):
            desktop.click(*screen.centre(screen.cell(table, row, 1)), button=button)
            time.sleep(0.3)

        # The column texts as shown, blanks kept, joined by tabs, with a line end.
        for row, keys in [(0, ["ctrl+c"]), (udp, None), (1, ["Menu"]), (2, ["shift+F10"])]:
            with self.subTest(row=row, keys=keys):
                if keys is None:
                    click(row, button=3)  # the line's own menu
                else:
                    click(row)
                    desktop.key(*keys)
                if keys != ["ctrl+c"]:
                    time.sleep(0.5)
                    desktop.key("Down", "Return")  # "Copy"
                self.assertEqual(wait_until(lambda: desktop.clipboard() == "\t".join(rows[row]) + "\n", 5)
                                 and desktop.clipboard(), "\t".join(rows[row]) + "\n")
        self.assertEqual(rows[udp][3], " ")

        # Outside the list the window's own menu opens, with About last.
        desktop.right_click(*self.window_corner(desktop, window))
        time.sleep(0.5)
        desktop.key("Up", "Return")
        self.assertIsNotNone(desktop.window_named("About Quillon", 10), "no window menu outside the list")


if __name__ == "__main__":
    unittest.main(verbosity=2)
