"""Runs every benchmark and prints one table: each measurement with its
baseline from the same run, their ratio and the target."""

import json
import re
import subprocess
import sys
import tempfile
from pathlib import Path

REPETITIONS = "5"

# (binary, measurement, baseline, how the target reads the ratio)
COMPARISONS = [
    ("bench_conn_table", "BM_GetConnectionTable", "BM_SockDiagRawDump", "<= 1.5 (raw dump is the floor)"),
    ("bench_conn_table", "BM_GetConnectionTable", "BM_ProcNetParse", "<= 0.33 (3x faster than /proc)"),
    ("bench_conn_table", "BM_GetTcp6Table", "BM_SockDiagRawDump6", "<= 1.5 (raw AF_INET6 dump is the floor)"),
    ("bench_socket_owner", "BM_FindSocketOwners", "BM_BareProcFdWalk", "report (300 processes)"),
    ("bench_row_text", "BM_RowTextNamesOff", "BM_PlainSnprintf", "report"),
    ("bench_row_text", "BM_RowTextNamesOn", "BM_PlainSnprintf", "report"),
    ("bench_host_cache", "BM_HostTexts<100>", "BM_PlainSnprintf", "report"),
    ("bench_host_cache", "BM_HostTexts<10000>", "BM_PlainSnprintf", "report"),
    ("bench_host_cache", "BM_HostTexts<100000>", "BM_PlainSnprintf", "report"),
    ("bench_host_cache", "BM_HostTexts<100000>", "BM_HostTexts<100>", "<= 2 (cache size costs nothing)"),
    ("bench_host_cache", "BM_HostTextsAllPeersDistinct<100000>", "BM_PlainSnprintf", "report"),
    ("bench_refresh_list", "BM_RefreshList_ChangingKeptFilteredSorted", "BM_RefreshList_Changing",
     "<= 1.5 (plain view, same tables)"),
]
# Measurements held against a fixed budget: (binary, benchmark, counter or None, budget in ms, label)
BUDGETS = [
    ("bench_refresh_list", "BM_RefreshList_NamesOff", None, 30.0, "refill, names off"),
    ("bench_refresh_list", "BM_RefreshList_NamesOnCached", None, 30.0, "refill, names on (cached)"),
    ("bench_refresh_list", "BM_RefreshList_WithIpv6", None, 30.0, "refill, 4095 IPv4 + 1000 IPv6 rows"),
    ("bench_refresh_list", "BM_RefreshList_NamesOff", "handover_max_ms", 10.0, "UI blocked, names off"),
    ("bench_refresh_list", "BM_RefreshList_NamesOnCached", "handover_max_ms", 10.0, "UI blocked, names on"),
    ("bench_refresh_list", "BM_RefreshList_ChangingKeptFilteredSorted", "handover_max_ms", 10.0,
     "UI blocked, kept, filtered, sorted"),
]

UNIT_TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def run_benchmarks(build, binary):
    path = build / "bench" / binary
    if not path.is_file():
        return {}
    with tempfile.NamedTemporaryFile(suffix=".json") as report:
        output = subprocess.run(
            [str(path), "--benchmark_min_time=0.2", f"--benchmark_repetitions={REPETITIONS}",
             "--benchmark_report_aggregates_only=true", f"--benchmark_out={report.name}",
             "--benchmark_out_format=json"],
            capture_output=True, text=True)
        if output.returncode != 0:
            print(f"{binary} failed:\n{output.stderr}", file=sys.stderr)
            return {}
        entries = json.load(report)["benchmarks"]
    medians = {}
    for entry in entries:
        if entry.get("aggregate_name") != "median":
            continue
        # Suffixes such as /manual_time or /repeats:9/real_time are run options.
        name = entry["run_name"].split("/")[0]
        scale = UNIT_TO_MS[entry.get("time_unit", "ns")]
        medians[name] = dict(entry, real_ms=entry["real_time"] * scale, cpu_ms=entry["cpu_time"] * scale)
    return medians


def idle_share(build):
    script = Path(__file__).resolve().parent / "bench_idle.py"
    output = subprocess.run(["/usr/bin/python3", str(script), str(build)], capture_output=True, text=True)
    match = re.search(r"CPU share of one core: ([0-9.]+) %", output.stdout)
    rss = re.search(r"VmRSS\): ([0-9.]+) MiB", output.stdout)
    return (float(match.group(1)) if match else None, float(rss.group(1)) if rss else None)


def main(build):
    build = Path(build).resolve()
    results = {}
    for binary in sorted({row[0] for row in COMPARISONS + BUDGETS}):
        results[binary] = run_benchmarks(build, binary)

    rows = []
    for binary, measured, baseline, target in COMPARISONS:
        a, b = results[binary].get(measured), results[binary].get(baseline)
        if a and b:
            rows.append((f"{measured} (wall)", f"{a['real_ms']:.3f} ms", baseline, f"{b['real_ms']:.3f} ms",
                         f"{a['real_ms'] / b['real_ms']:.2f}", target))
            rows.append((f"{measured} (CPU)", f"{a['cpu_ms']:.3f} ms", baseline, f"{b['cpu_ms']:.3f} ms",
                         f"{a['cpu_ms'] / b['cpu_ms']:.2f}", target))
    for binary, measured, counter, budget, label in BUDGETS:
        entry = results[binary].get(measured)
        if entry:
            value = entry[counter] if counter else entry["real_ms"]
            rows.append((label, f"{value:.3f} ms", "budget", f"{budget:.1f} ms", f"{value / budget:.2f}", "< 1"))
    share, rss = idle_share(build)
    if share is not None:
        rows.append(("idle CPU, one core, 60 s", f"{share:.3f} %", "budget", "0.2 %", f"{share / 0.2:.2f}", "< 1"))
    if rss is not None:
        rows.append(("idle resident memory", f"{rss:.1f} MiB", "-", "-", "-", "report"))

    headers = ("measurement", "median", "baseline", "baseline median", "ratio", "target")
    widths = [max(len(str(row[i])) for row in rows + [headers]) for i in range(len(headers))]
    line = lambda row: "| " + " | ".join(str(cell).ljust(width) for cell, width in zip(row, widths)) + " |"
    print(line(headers))
    print("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    for row in rows:
        print(line(row))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build")
