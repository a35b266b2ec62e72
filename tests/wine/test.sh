#!/usr/bin/env bash
# Runs the fleet tests of an x86-64 Windows build under Wine. A host build of
# tests/wine drives the build's real SpawnBench.exe from Linux, so that it can
# signal and kill it; the build's own unit tests run with its ctest.
#   bash tests/wine/test.sh BUILD    (BUILD: an x86-64 cross build, built)
# The tests share BUILD/wine-prefix, and its wineserver, with that ctest run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
jobs=$(nproc)
driver=$build/wine-driver
cmake -S "$root" -B "$driver" -DCMAKE_BUILD_TYPE=Release -DVORN_WINDOWS_BIN="$build/bin" >/dev/null
cmake --build "$driver" -j"$jobs" --target spawnbench_wine_tests
ctest --test-dir "$driver" -L wine -j"$jobs" --output-on-failure --timeout 300
