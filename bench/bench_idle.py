"""The running program's idle cost: its CPU share of one core and its resident
memory over a quiet stretch (QUILLON_IDLE_SECONDS, 60 by default) at a 1000 ms
refresh period, with 100 endpoints on the loopback interface, on a private
desktop. Run as root, it has network namespaces of its own, so that only those
endpoints are in the tables.
"""

import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
from desktop import Desktop, Quillon, Sockets, enter_private_namespace  # noqa: E402


def cpu_seconds(pid):
    """User and kernel time: fields 14 and 15 of the stat line, 12 and 13 after the name."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return [int(ticks) / os.sysconf("SC_CLK_TCK") for ticks in fields[11:13]]


def main(build, seconds):
    if os.geteuid() == 0 and not enter_private_namespace("127.0.0.1 localhost\n"):
        raise SystemExit("bench_idle: no namespaces of its own")
    sockets = Sockets()
    for _ in range(50):
        sockets.tcp_listen("127.0.0.1", 0)
    for _ in range(25):
        sockets.close(sockets.tcp_pair(("127.0.0.1", 0)))  # the connection's two ends stay
    endpoints = sum(len(Path(f"/proc/net/{table}").read_text().splitlines()) - 1 for table in ("tcp", "udp"))
    with Desktop() as desktop, Quillon(desktop, program=Path(build) / "quillon") as quillon:
        # Logging, TCP and UDP, numeric addresses: no name lookups.
        quillon.write_hive(bool_prop1=7, refresh_time=1000)
        pid = quillon.start().process.pid
        time.sleep(5)
        start, began = cpu_seconds(pid), time.monotonic()
        time.sleep(seconds)
        user, kernel = (end - begin for begin, end in zip(start, cpu_seconds(pid)))
        elapsed = time.monotonic() - began
        rss_kib = next(int(line.split()[1]) for line in Path(f"/proc/{pid}/status").read_text().splitlines()
                       if line.startswith("VmRSS:"))
    sockets.close()
    share = lambda cpu: cpu / elapsed * 100  # noqa: E731
    print(f"idle over {elapsed:.1f} s, {endpoints} endpoints in the system tables, period 1000 ms")
    print(f"  CPU share of one core: {share(user + kernel):.3f} % (user {share(user):.3f} %, "
          f"kernel {share(kernel):.3f} %; target below 0.2 %)")
    print(f"  resident memory (VmRSS): {rss_kib / 1024:.1f} MiB")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build", float(os.environ.get("QUILLON_IDLE_SECONDS", 60)))
