#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz, replays the seed
# corpus, then fuzzes each target for FUZZ_SECONDS (default 15), two at a
# time. Fails on any crash, leak, sanitizer report or failed check; the input
# that caused it is kept in build-fuzz/artifacts/.
#   FUZZ_SECONDS=600 bash .ci/fuzz.sh         # longer
#   FUZZ_TARGETS=fuzz_ini bash .ci/fuzz.sh    # one target
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh clang libclang-rt-14-dev

build=build-fuzz
seconds="${FUZZ_SECONDS:-15}"
read -r -a targets <<<"${FUZZ_TARGETS:-fuzz_ini fuzz_uncompress fuzz_roundtrip fuzz_differential}"

cmake -S . -B "$build" -DVORN_BUILD_FUZZ=ON -DBUILD_TESTING=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

# A small quarantine keeps freed stream buffers coming back warm: several
# times the executions, at the cost of catching only recent use-after-frees.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16}"

artifacts="$build/artifacts"
logs="$build/logs"
mkdir -p "$artifacts" "$logs"
# New inputs go to a scratch folder, never into the committed seeds.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fuzz_one() {
  local target="$1" bin="$build/bin/$1" seeds="fuzz/corpus/$1"
  mkdir -p "$scratch/$target"
  "$bin" -runs=0 -artifact_prefix="$artifacts/$target-" "$seeds" >"$logs/$target.replay.log" 2>&1 || {
    echo "$target: replaying the seed corpus failed:"
    tail -n 40 "$logs/$target.replay.log"
    return 1
  }
  "$bin" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" "$scratch/$target" "$seeds" \
    >"$logs/$target.log" 2>&1 || {
    echo "$target: FAILED:"
    tail -n 60 "$logs/$target.log"
    return 1
  }
}

status=0
pids=()
for target in "${targets[@]}"; do
  # At most two at once: one per core.
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
  fuzz_one "$target" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done

for target in "${targets[@]}"; do
  log="$logs/$target.log"
  [ -f "$log" ] || continue
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "$target: ${runs:-?} executions in ${seconds}s (${rate:-?}/s)"
done
[ "$status" -eq 0 ] && echo "fuzz: no crash" || echo "fuzz: FAILED, inputs in $artifacts/"
exit "$status"
