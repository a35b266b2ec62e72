#!/usr/bin/env bash
# Runs the fleet tests of a Windows build under Wine, 32-bit Wine for an i686
# one. A host build of tests/wine drives the build's real SpawnBench.exe from
# Linux, so that it can signal and kill it; the build's own unit tests run
# with its ctest.
#   bash tests/wine/test.sh BUILD    (BUILD: an x86-64 or i686 cross build, built)
# The tests share BUILD/wine-prefix, and its wineserver, with that ctest run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
jobs=$(nproc)
driver=$build/wine-driver
# The PE header's machine field picks the loader: 014c is i386.
exe=$build/bin/SpawnBench.exe
header=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
loader=/usr/lib/wine/wine64
[ "$(od -An -tx2 -j$((header + 4)) -N2 "$exe" | tr -d ' ')" != 014c ] || loader=/usr/lib/wine/wine
cmake -S "$root" -B "$driver" -DCMAKE_BUILD_TYPE=Release -DVORN_WINDOWS_BIN="$build/bin" \
  -DVORN_WINE_LOADER="$loader" >/dev/null
cmake --build "$driver" -j"$jobs" --target spawnbench_wine_tests
ctest --test-dir "$driver" -L wine -j"$jobs" --output-on-failure --timeout 300
