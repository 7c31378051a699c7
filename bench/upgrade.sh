#!/usr/bin/env bash
# Times the schema upgrade of an empty site database through the daemon's
# code and through the mariadb client fed the same statements, on one private
# MariaDB server, and prints the ratio. Usage: bench/upgrade.sh [rounds]
# (BUILD_DIR selects the build folder, build by default).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target bench_upgrade >/dev/null
# The daemon reports every refused statement on standard error; keep those
# lines out of the figures and show them only when the run fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "$build/bench/bench_upgrade" "${1:-5}" 2>"$log"; then
  tail -n 20 "$log" >&2
  exit 1
fi
