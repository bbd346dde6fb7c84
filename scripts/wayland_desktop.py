"""A headless Wayland desktop for an ordinary user: a session bus, sway with its bar as
the tray host, clients started as that user, and a launcher's activation token asked of
the compositor over the Wayland protocol itself."""

import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path

from desktop import die_with_parent, run, start_helper, stop_helpers, wait_until

CONFIG = """\
xwayland disable
output * resolution 1024x768
focus_on_window_activation focus
# sway raises a floating window on a click only, never when it is activated: every
# window tiles, in tabs, so that the one with the focus is the one shown in front.
workspace_layout tabbed
for_window [app_id=".*"] floating disable
bar {
    tray_output *
}
"""


class Sway:
    """sway on its headless backend, run as `user` (it refuses root); clients take `env`."""

    def __init__(self, user):
        self.user = user
        self.processes = []
        self.runtime = Path(tempfile.mkdtemp(prefix="quillon-wayland-"))
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def as_user(self, command):
        return ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--clear-groups", "--", *command]

    def _start(self):
        home = self.runtime / "home"
        home.mkdir()
        (self.runtime / "config").write_text(CONFIG)
        for path in (self.runtime, home):
            os.chown(path, self.user, self.user)
        base = {"PATH": os.environ["PATH"], "HOME": str(home), "XDG_RUNTIME_DIR": str(self.runtime),
                "LANG": "C.UTF-8"}
        bus = start_helper(self.as_user(["dbus-daemon", "--session", "--nofork", "--print-address=1"]),
                           env=base, stdout=subprocess.PIPE, text=True)
        self.processes.append(bus)
        base["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        if not base["DBUS_SESSION_BUS_ADDRESS"]:
            raise RuntimeError("dbus-daemon did not start")
        log = self.runtime / "sway.log"
        with open(log, "wb") as output:
            sway = subprocess.Popen(self.as_user(["sway", "-c", str(self.runtime / "config")]),
                                    env=dict(base, WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                                             WLR_RENDERER="pixman"),
                                    stdout=output, stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
        self.processes.append(sway)
        sockets = lambda: (sorted(self.runtime.glob("wayland-[0-9]")), sorted(self.runtime.glob("sway-ipc.*.sock")))
        if not wait_until(lambda: sway.poll() is not None or all(sockets()), 15) or sway.poll() is not None:
            raise RuntimeError("sway did not start: " + log.read_text(errors="replace")[-2000:])
        displays, ipc = sockets()
        self.swaysock = str(ipc[0])
        # A full path: the program is given a runtime folder of its own.
        self.env = dict(base, WAYLAND_DISPLAY=str(displays[0]), SWAYSOCK=self.swaysock, QT_QPA_PLATFORM="wayland")
        # The bar is the tray host once it has taken the watcher's name and said it hosts.
        if not wait_until(self.tray_hosted, 15, 0.2):
            raise RuntimeError("swaybar did not host a tray: " + log.read_text(errors="replace")[-2000:])

    def tray_hosted(self):
        reply = run(*self.as_user(["dbus-send", "--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
                                   "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                                   "string:org.kde.StatusNotifierWatcher",
                                   "string:IsStatusNotifierHostRegistered"]), check=False, env=self.env)
        return "boolean true" in reply.stdout

    def start_client(self, command):
        process = start_helper(self.as_user(command), env=self.env, cwd=self.runtime / "home")
        self.processes.append(process)
        return process

    def views(self):
        """The windows in the compositor's tree."""
        def walk(node):
            found = [node] if node.get("pid") is not None else []
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                found += walk(child)
            return found
        return walk(json.loads(run("swaymsg", "-s", self.swaysock, "-r", "-t", "get_tree").stdout))

    def view(self, pid):
        return next((node for node in self.views() if node["pid"] == pid), None)

    def focused_pid(self):
        return next((node["pid"] for node in self.views() if node["focused"]), None)

    def activation_token(self, timeout=5):
        return activation_token(self.env["WAYLAND_DISPLAY"], timeout)

    def close(self):
        stop_helpers(self.processes)
        shutil.rmtree(self.runtime, ignore_errors=True)


def _message(sender, opcode, *args):
    """One request: the arguments are integers (uint, object and new ids) or strings."""
    body = b""
    for arg in args:
        if isinstance(arg, str):
            data = arg.encode() + b"\0"
            body += struct.pack("=I", len(data)) + data + b"\0" * (-len(data) % 4)
        else:
            body += struct.pack("=I", arg)
    return struct.pack("=II", sender, (8 + len(body)) << 16 | opcode) + body


def _string(body, offset):
    """The string at `offset` of an event's body and the offset after it."""
    (length,) = struct.unpack_from("=I", body, offset)
    text = body[offset + 4:offset + 4 + length - 1].decode()
    return text, offset + 4 + length + (-length % 4)


def activation_token(display, timeout=5):
    """A token from the compositor's xdg-activation, as a launcher asks for one for the
    program it starts; the compositor's error, or none in `timeout` seconds, raises.
    It is asked without the serial of an input event: sway 1.7 (wlroots 0.15) does not
    look at one, and the launch it stands for comes from no click."""
    DISPLAY, REGISTRY, SYNC, ACTIVATION, TOKEN = 1, 2, 3, 4, 5
    deadline = time.monotonic() + timeout
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(timeout)
        connection.connect(display)
        connection.sendall(_message(DISPLAY, 1, REGISTRY) + _message(DISPLAY, 0, SYNC))
        received, globals_ = b"", {}
        while True:
            while len(received) < 8 or len(received) < struct.unpack_from("=II", received)[1] >> 16:
                connection.settimeout(max(deadline - time.monotonic(), 0.001))
                chunk = connection.recv(4096)
                if not chunk:
                    raise RuntimeError("the compositor closed the connection")
                received += chunk
            sender, size_opcode = struct.unpack_from("=II", received)
            size, opcode = size_opcode >> 16, size_opcode & 0xFFFF
            body, received = received[8:size], received[size:]
            if sender == DISPLAY and opcode == 0:
                raise RuntimeError("the compositor refused: " + _string(body, 8)[0])
            if sender == REGISTRY and opcode == 0:
                (name,) = struct.unpack_from("=I", body)
                globals_[_string(body, 4)[0]] = name
            elif sender == SYNC:
                if "xdg_activation_v1" not in globals_:
                    raise RuntimeError("the compositor offers no xdg_activation_v1")
                connection.sendall(_message(REGISTRY, 0, globals_["xdg_activation_v1"], "xdg_activation_v1", 1,
                                            ACTIVATION) +
                                   _message(ACTIVATION, 1, TOKEN) + _message(TOKEN, 1, "quillon") +
                                   _message(TOKEN, 3))
            elif sender == TOKEN and opcode == 0:
                return _string(body, 0)[0]
