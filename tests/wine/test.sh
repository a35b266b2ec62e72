#!/usr/bin/env bash
# Runs the tests of an x86-64 Windows build under Wine: its unit tests through
# its own ctest, then the fleet tests, which a host build of tests/wine drives
# from Linux. Stops the build's Wine server at the end.
#   bash tests/wine/test.sh BUILD    (BUILD: an x86-64 cross build, built)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
jobs=$(nproc)
export WINEPREFIX=$build/wine-prefix
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

ctest --test-dir "$build" -j"$jobs" --output-on-failure --timeout 600

driver=$build/wine-driver
cmake -S "$root" -B "$driver" -DVORN_WINDOWS_BIN="$build/bin" >/dev/null
cmake --build "$driver" -j"$jobs" --target spawnbench_wine_tests
ctest --test-dir "$driver" -L wine -j"$jobs" --output-on-failure --timeout 600
