"""Renders the main window with live rows and the tray menu open, under Xvfb,
in private network and mount namespaces (scripts/screenshot.sh sets them up)."""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "system"))
from desktop import Desktop, Quillon, Sockets, prepare_namespace, wait_until  # noqa: E402

HOSTS = """127.0.0.1 localhost
127.0.0.2 web.lan
127.0.0.3 mail.lan
127.0.0.4 db.lan
"""


def main(output):
    prepare_namespace(HOSTS)
    sockets = Sockets()
    sockets.tcp_listen("0.0.0.0", 22)
    sockets.tcp_listen("127.0.0.1", 631)
    sockets.tcp_pair("127.0.0.2", 443, client_address="127.0.0.1", client_port=51234)
    sockets.tcp_pair("127.0.0.3", 25, client_address="127.0.0.1", client_port=51240)
    sockets.tcp_pair("127.0.0.4", 5432, client_address="127.0.0.1", client_port=51252)
    sockets.udp("0.0.0.0", 68)
    sockets.udp("0.0.0.0", 5353)
    sockets.udp("127.0.0.1", 53)
    desktop = Desktop(tray=True, size="800x560")
    quillon = Quillon(desktop)
    try:
        quillon.write_hive(bool_prop1=15, refresh_time=500)
        quillon.start()
        if not quillon.main_window():
            raise SystemExit("the main window did not appear")
        time.sleep(2.5)  # names arrive and the next refill shows them
        position = wait_until(desktop.tray_icon_position, 10)
        if not position:
            raise SystemExit("no tray icon")
        desktop.right_click(*position)
        time.sleep(1)
        desktop.screenshot(output)
    finally:
        quillon.cleanup()
        desktop.close()
        sockets.close()


if __name__ == "__main__":
    main(Path(sys.argv[1]).resolve())
