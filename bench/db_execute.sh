#!/bin/sh
# Builds and runs the statement benchmark of the database layer against a
# private MariaDB server it starts itself. Usage: bench/db_execute.sh [count]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target bench_db_execute
exec "$build/bench/bench_db_execute" "$@"
