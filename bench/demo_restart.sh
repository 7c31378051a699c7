#!/usr/bin/env bash
# Times warm restarts of the demo: scripts/demo on a scratch folder once (the
# database is initialised and both site databases upgraded), stopped with
# Ctrl+C, then started again RESTARTS times; each time the figure is from the
# daemon's process start to the first page the default site serves.
#
#   bench/demo_restart.sh [restarts]     (3)
#
# Runs in process and network namespaces of its own (as root), so that the
# daemon sees and stops only its own programs and the demo's ports are free
# whatever else runs on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${VTD_DEMO_NAMESPACE:-}" != 1 ]; then
  exec env VTD_DEMO_NAMESPACE=1 unshare --pid --fork --mount-proc --net "$0" "$@"
fi
ip link set lo up
restarts=${1:-3}
port=8080
work=$(mktemp -d /var/tmp/vtd-demo-restart-XXXXXX)
chmod 755 "$work"  # the web server's children (www-data) read the sites below it
trap 'rm -rf "$work"' EXIT
dir=$work/demo
errorlog=build/bin/logs

ticks=$(getconf CLK_TCK)
uptime_now() { cut -d' ' -f1 /proc/uptime; }
# Seconds since boot at which a process started (field 22 of its stat).
started_at() { awk -v t="$ticks" '{ sub(/^.*\) /, ""); printf "%.2f\n", $20 / t }' "/proc/$1/stat"; }
connect_lines() { cat "$errorlog"/error-*.log 2>/dev/null | grep -c 'SQL CONNECT' || true; }

# Starts the demo and waits for its first page; prints the seconds from the
# daemon's start to that page and the "SQL CONNECT" lines logged meanwhile.
run_demo() {
  local log=$1 pid="" before page start
  before=$(connect_lines)
  scripts/demo "$dir" >"$log" 2>&1 &
  demo=$!
  until pid=$(pgrep -x vtd); do
    kill -0 "$demo" 2>/dev/null || { echo "scripts/demo ended:" >&2; tail "$log" >&2; exit 1; }
    sleep 0.01
  done
  for _ in $(seq 12000); do
    curl -fsS -o /dev/null "http://127.0.0.1:$port/" 2>/dev/null && break
    sleep 0.01
  done
  curl -fsS -o /dev/null "http://127.0.0.1:$port/" || { echo "no page within two minutes" >&2; kill -INT "$pid"; exit 1; }
  page=$(uptime_now)
  start=$(started_at "$pid")
  echo "$(awk -v a="$page" -v b="$start" 'BEGIN { printf "%.2f", a - b }') $(($(connect_lines) - before))"
  kill -INT "$pid"
  wait "$demo" || true
}

run_demo "$work/first.log" > "$work/figures"
read -r first connects < "$work/figures"
echo "first start (new database): ${first} s to the first page, $connects SQL CONNECT lines"
times=()
for i in $(seq "$restarts"); do
  run_demo "$work/restart-$i.log" > "$work/figures"
  read -r took connects < "$work/figures"
  times+=("$took")
  echo "warm restart $i: ${took} s to the first page, $connects SQL CONNECT lines"
done
printf '%s\n' "${times[@]}" | sort -g |
  awk '{ v[NR] = $1 } END { printf "warm restart, daemon start to first page: min %.2f s, median %.2f s (%d runs)\n", v[1], v[int((NR + 1) / 2)], NR }'
