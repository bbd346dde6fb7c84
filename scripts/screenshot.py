"""Pictures of the built program on a private desktop with a tray host.

screenshot.py BUILD OUTPUT
    The README's picture: known sockets with names, in namespaces of their own
    (needs root), the window grown past its template's size, a connection just
    opened (its lines marked as new) and the tray menu open.
screenshot.py --ipv6 BUILD OUTPUT
    The same with the IPv6 option on, IPv6 sockets too and names off: the IPv6 lines in their
    numeric form after the IPv4 ones.
screenshot.py --machine BUILD OUTPUT [SECONDS]
    The machine's own endpoints, with the user's settings and the log in BUILD,
    SECONDS (4) after the start; then the program is ended as a session end
    would end it (SIGTERM). `make run` does this where there is no display.
"""

import sys
import time
from pathlib import Path

from desktop import Desktop, Quillon, Sockets, enter_private_namespace

HOSTS = "127.0.0.1 localhost\n127.0.0.2 web.lan\n127.0.0.3 mail.lan\n127.0.0.4 db.lan\n"


def readme_picture(build, output, ipv6=False):
    if not enter_private_namespace(HOSTS):
        raise SystemExit("screenshot: namespaces of its own need root")
    sockets = Sockets()
    sockets.tcp_listen("0.0.0.0", 22)
    sockets.tcp_listen("127.0.0.1", 631)
    for server, client_port in ((("127.0.0.2", 443), 51234), (("127.0.0.3", 25), 51240), (("127.0.0.4", 5432), 51252)):
        sockets.tcp_pair(server, ("127.0.0.1", client_port))
    for local in (("0.0.0.0", 68), ("0.0.0.0", 5353), ("127.0.0.1", 53)):
        sockets.udp(*local)
    if ipv6:
        sockets.tcp_listen("::1", 631)
        sockets.tcp_pair(("::1", 8443), ("::1", 51270))
        sockets.udp("::1", 53)
    with Desktop(size="960x600") as desktop, Quillon(desktop, program=build / "quillon") as quillon:
        # Names off for the IPv6 picture: its own addresses would all read as the computer's name.
        quillon.write_hive(bool_prop1=7 if ipv6 else 15, refresh_time=500, ipv6=1 if ipv6 else None)
        window = quillon.start().main_window()
        if not window:
            raise SystemExit("screenshot: the main window did not appear")
        # As a user would grow it; there is no window manager to drag it with.
        desktop.xdotool("windowsize", window, "880", "480")
        desktop.xdotool("windowmove", window, "40", "100")
        time.sleep(2.5)  # names arrive and the next refill shows them
        icon = desktop.tray_icon()
        if not icon:
            raise SystemExit("screenshot: no tray icon")
        sockets.tcp_pair(("127.0.0.2", 8080), ("127.0.0.1", 51260))
        time.sleep(1)  # the next refill shows its lines, marked for a while
        if not desktop.opened(lambda: desktop.click(*icon, button=3)):
            raise SystemExit("screenshot: no tray menu")
        time.sleep(0.5)  # drawn
        desktop.screenshot(output)
    sockets.close()
    print(f"Screenshot: {output}")


def machine_picture(build, output, seconds):
    # The log file name is relative: with the user's own settings it goes to the build folder.
    with Desktop() as desktop, Quillon(desktop, home=Path.home(), work=build, program=build / "quillon") as quillon:
        quillon.start()
        time.sleep(seconds)
        desktop.screenshot(output)
        status = quillon.stop()
    print(f"Screenshot: {output} (program ended with status {status})")


if __name__ == "__main__":
    mode = sys.argv[1] if sys.argv[1] in ("--machine", "--ipv6") else None
    build, output = (Path(argument).resolve() for argument in sys.argv[1 + bool(mode):3 + bool(mode)])
    output.parent.mkdir(parents=True, exist_ok=True)
    if mode == "--machine":
        machine_picture(build, output, float(sys.argv[4]) if len(sys.argv) > 4 else 4)
    else:
        readme_picture(build, output, ipv6=mode == "--ipv6")
