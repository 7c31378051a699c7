#!/bin/sh
# Times the parent-list refresh of the upgrade against one recursive query on
# a private MariaDB server. Usage: bench/parentlist.sh [build folder] [objects]
set -e
build=${1:-build}
cd "$(dirname "$0")/.."
cmake --build "$build" --target bench_parentlist
exec "$build/bench/bench_parentlist" ${2:-100000}
