#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in release mode and runs
# them all, then writes docs/benchmarks.md from their JSON output.
# --smoke runs each one briefly on tiny sizes and leaves docs/ alone.
# --windows runs the compression benchmark of the 64-bit and the 32-bit
# Windows builds under Wine (32-bit Wine for i686) and writes only their
# section of docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=0 windows=0
case "${1:-}" in
  "") ;;
  --smoke) smoke=1 ;;
  --windows) windows=1 ;;
  *) echo "usage: bash scripts/bench.sh [--smoke | --windows]" >&2; exit 2 ;;
esac

extra=(libbenchmark-dev findutils procps parallel)
command -v python3 >/dev/null || extra+=(python3)
if [ "$windows" -eq 1 ]; then
  extra+=(--no-install-recommends g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
    libz-mingw-w64-dev wine64 wine32:i386 llvm)
  build="build-win64-bench"
  # As scripts/windows.sh builds, with Google Benchmark built from source.
  cmake_options=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG")
  targets=(bench_compression)
  build32="build-win32-bench"
else
  build="build-bench"
  cmake_options=()
  targets=(bench_compression bench_fleet_start bench_fleet_poll bench_fleet_output
    bench_campaign_page bench_campaign)
  [ "$smoke" -eq 0 ] || targets+=(bench_tests)
fi
bash scripts/setup.sh "${extra[@]}"

cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_BENCH=ON \
  -DBUILD_TESTING=OFF "${cmake_options[@]+"${cmake_options[@]}"}" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"
if [ "$windows" -eq 1 ]; then
  cmake -S . -B "$build32" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_BENCH=ON \
    -DBUILD_TESTING=OFF "${cmake_options[@]/mingw-x86_64/mingw-i686}" >/dev/null
  cmake --build "$build32" -j2 --target "${targets[@]}"
fi

if [ "$smoke" -eq 1 ]; then
  out="$build/bench-smoke"
  common=(--smoke --benchmark_repetitions=2 --benchmark_min_time=0.01)
else
  out="$build/bench-results"
  common=(--benchmark_repetitions=5 --benchmark_min_time=0.1)
fi
rm -rf "$out"
mkdir -p "$out"
bin="$build/bin"

# Each program kills and reaps whatever it started; the time limit turns a
# hang into a failure. A program killed at the limit cannot clean up, and the
# peers it runs (xargs) have process groups of their own, so each program runs
# in a session of its own and whatever is left of that session is killed.
sid_file="$(mktemp)"
trap 'rm -f "$sid_file"' EXIT
run() {
  local name=$1 limit=$2 status=0 sid
  shift 2
  echo "== $name"
  : >"$sid_file"
  timeout --signal=KILL "$limit" setsid sh -c 'echo $$ >"$0" && exec "$@"' "$sid_file" \
    "$@" --benchmark_display_aggregates_only=true \
    --benchmark_out="$out/$name.json" --benchmark_out_format=json </dev/null || status=$?
  sid="$(cat "$sid_file")"
  [ -z "$sid" ] || pkill -KILL -s "$sid" || true
  return "$status"
}

if [ "$windows" -eq 1 ]; then
  # <name> <build dir> <Wine loader> <prefix architecture>: a prefix of the
  # build's own, and one server for the run (see windows.sh).
  wine_bench() {
    export WINEPREFIX="$PWD/$2/wine-prefix" WINEARCH="$4" WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$WINEPREFIX"
    wineserver -p60 >/dev/null 2>&1 </dev/null || [ $? -eq 2 ]
    "$3" wineboot -i >/dev/null 2>&1 </dev/null
    run "$1" 1800 "$3" "$2/bin/bench_compression.exe" "${common[@]}" \
      --benchmark_enable_random_interleaving=true
    wineserver -k >/dev/null 2>&1 || true
  }
  wine_bench compression_windows "$build" /usr/lib/wine/wine64 win64
  wine_bench compression_windows32 "$build32" /usr/lib/wine/wine win32
  python3 bench/report.py --windows "$out" docs/benchmarks.md "bash scripts/bench.sh --windows"
  exit 0
fi

run compression 1800 "$bin/bench_compression" "${common[@]}" \
  --benchmark_enable_random_interleaving=true
if [ "$smoke" -eq 0 ]; then
  # The small sizes again without the heap handing zlib's state back after
  # every call: shows what the per-call set-up costs.
  GLIBC_TUNABLES=glibc.malloc.trim_threshold=67108864 \
    run compression_notrim 600 "$bin/bench_compression" "${common[@]}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_filter='^(un)?compress/[a-z]+/(4096|65536)/'
fi


run fleet_start 600 "$bin/bench_fleet_start" "${common[@]}"
run fleet_poll 300 "$bin/bench_fleet_poll" "${common[@]}"
# Alternated, so that the machine's moods fall on every variant alike.
run fleet_output 1800 "$bin/bench_fleet_output" "${common[@]}" \
  --benchmark_enable_random_interleaving=true
# Each repetition opens the page in a fresh headless Chromium.
run campaign_page 600 "$bin/bench_campaign_page" "${common[@]}"
# The campaign's pairs run one after the other within an iteration; the
# 100 000-copy campaign takes minutes a side, so it runs twice.
run campaign_report 1200 "$bin/bench_campaign" "${common[@]}" --benchmark_filter='^report/'
if [ "$smoke" -eq 1 ]; then
  run campaign_fleet 600 "$bin/bench_campaign" "${common[@]}" --benchmark_filter='^campaign/'
else
  run campaign_fleet 3600 "$bin/bench_campaign" --benchmark_repetitions=2 \
    --benchmark_filter='^campaign/'
fi

if [ "$smoke" -eq 1 ]; then
  echo "== checks of the helpers and the report"
  "$bin/bench_tests" --gtest_brief=1 </dev/null
  python3 bench/tests/report_test.py
  python3 bench/report.py "$out" "$out/benchmarks.md" "bash scripts/bench.sh --smoke"
else
  mkdir -p docs
  python3 bench/report.py "$out" docs/benchmarks.md "bash scripts/bench.sh"
fi
