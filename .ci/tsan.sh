#!/usr/bin/env bash
# ThreadSanitizer: builds with -DVORN_SANITIZE=thread in build-tsan and runs
# the tests where threads meet: the library called from many threads at once
# (on each engine), the process layer started, polled and stopped from many
# threads (its start path differs there, as ThreadSanitizer turns vfork into
# fork), the stop flag set by the key thread or a signal while the main
# thread polls, and the real SpawnBench (key thread and all) stopped every
# way, with --contain too (the thread that starts the copies into the
# namespace) and in --copy's tries, and the writer thread that passes tagged
# lines on.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build-tsan
cmake -S . -B "$build" -DVORN_SANITIZE=thread >/dev/null
cmake --build "$build" -j2 --target mevz_thread_tests stop_flag_tests util_tests \
  spawnbench_integration_tests SpawnBench VORNCoreExTest
# A report fails the test at once instead of at exit.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}"
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 \
  -R '^((zlib|libdeflate)\.)?(MevzThreads|ProcessTest|StopFlag|SpawnBench|Modes|Campaign|Descendants)'
