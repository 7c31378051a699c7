#!/bin/sh
# Times the parent-list refresh of the upgrade against a recursive query
# computing the same lists, on a private MariaDB server: the write pass
# against the query as one UPDATE ... JOIN, the no-change pass against a
# select of every row. Usage: bench/parentlist.sh [objects] [rounds]
# (BUILD_DIR selects the build folder, build by default). Exits non-zero
# when the two sides did not compute the same lists.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target bench_parentlist >/dev/null
exec "$build/bench/bench_parentlist" "${1:-100000}" "${2:-3}"
