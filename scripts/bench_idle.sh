#!/usr/bin/env bash
# The running program's idle cost: its CPU share of one core and its resident
# memory over a quiet stretch (60 s by default) at a 1000 ms refresh period,
# with about 100 endpoints on the loopback interface, on a private X server.
set -euo pipefail
build=${1:-build}
seconds=${QUILLON_IDLE_SECONDS:-60}
display=${QUILLON_IDLE_DISPLAY:-:98}
if [[ ! -x "$build/quillon" ]]; then
  echo "No program at $build/quillon; build it first." >&2
  exit 1
fi
for tool in Xvfb python3; do
  command -v "$tool" >/dev/null || { echo "bench_idle: $tool is needed" >&2; exit 1; }
done
program="$(cd "$build" && pwd)/quillon"
work=$(mktemp -d /tmp/quillon-idle-XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Settings of its own: log on, TCP and UDP, numeric addresses (no name
# lookups leave the machine), 1000 ms.
mkdir -p "$work/config/quillon"
cat >"$work/config/quillon/user.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Brantwell\Quillon]
"BoolProp1"=dword:00000007
"RefreshTime"=dword:000003e8
"LogName"="quillon.log"
REG

# 50 listeners and 25 connected pairs on 127.0.0.1, held until killed.
python3 - <<'PY' &
import socket, time
held = []
for _ in range(50):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(); held.append(s)
for _ in range(25):
    l = socket.socket(); l.bind(("127.0.0.1", 0)); l.listen()
    c = socket.create_connection(l.getsockname()); a, _ = l.accept(); l.close()
    held += [c, a]
while True:
    time.sleep(3600)
PY
pids+=($!)

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done
if command -v trayer >/dev/null; then
  DISPLAY=$display trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
  pids+=($!)
fi
sleep 1

(cd "$work" && DISPLAY=$display XDG_CONFIG_HOME="$work/config" exec "$program") >/dev/null 2>&1 &
app=$!
pids+=($app)
sleep 5

endpoints=$(($(wc -l </proc/net/tcp) - 1 + $(wc -l </proc/net/udp) - 1))
ticks=$(getconf CLK_TCK)
# utime and stime, fields 14 and 15 of the stat line (11 and 12 after the name).
cpu_ticks() { sed 's/.*) //' "/proc/$app/stat" | awk '{print $12, $13}'; }
read -r start_user start_system <<<"$(cpu_ticks)"
start_time=$(date +%s.%N)
sleep "$seconds"
read -r end_user end_system <<<"$(cpu_ticks)"
end_time=$(date +%s.%N)
rss_kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$app/status")

kill -TERM "$app"
wait "$app" 2>/dev/null || true

awk -v u0="$start_user" -v u1="$end_user" -v k0="$start_system" -v k1="$end_system" -v s0="$start_time" -v s1="$end_time" \
    -v hz="$ticks" -v rss="$rss_kb" -v n="$endpoints" 'BEGIN {
  elapsed = s1 - s0
  usr = (u1 - u0) / hz / elapsed * 100
  krn = (k1 - k0) / hz / elapsed * 100
  printf "idle over %.1f s, %d endpoints in the system tables, period 1000 ms\n", elapsed, n
  printf "  CPU share of one core: %.3f %% (user %.3f %%, kernel %.3f %%; target below 0.2 %%)\n", usr + krn, usr, krn
  printf "  resident memory (VmRSS): %.1f MiB\n", rss / 1024
}'
