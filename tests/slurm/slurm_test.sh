#!/usr/bin/env bash
# SpawnBench's fleets as job arrays on a real Slurm, reached through SLURM_CONF
# (bash scripts/slurm-local.sh up prints it).
#   slurm_test.sh <SpawnBench> coverage|failure|cancel|campaign|any_size
# Without a cluster the test is skipped (status 77), except in CI, where it
# fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
spawnbench="$1"
case_name="$2"
patience=60 # seconds; only catches hangs

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
unreachable() {
  [ "${CI:-}" = true ] && fail "$*"
  echo "SKIP: $*"
  exit 77
}
command -v sbatch >/dev/null || unreachable "no Slurm client here (bash scripts/slurm-local.sh up)"
[ -n "${SLURM_CONF:-}" ] || unreachable "SLURM_CONF is not set (bash scripts/slurm-local.sh up)"
sinfo -h -o %T >/dev/null 2>&1 || unreachable "no Slurm controller answers for $SLURM_CONF"

tmp="$(mktemp -d)"
job=""
cleanup() {
  [ -z "$job" ] || scancel "$job" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/work" "$tmp/records" "$tmp/out"
cd "$tmp/work"

# Submits `SpawnBench --slurm <maximum>` as it stands, with the stand-in's
# records and the tasks' output under $tmp. Extra VORNCORE_* settings come as
# NAME=value arguments; options for --slurm in $slurm_options.
slurm_options=""
submit() {
  local maximum="$1"
  shift
  # shellcheck disable=SC2086 # the options are words
  "$spawnbench" --slurm $slurm_options "$maximum" >"$tmp/script"
  job="$(env VORNCORE_RECORD_DIR="$tmp/records" VORNCORE_DELAY_MS=0 "$@" \
    sbatch --parsable --output="$tmp/out/%A_%a.out" "$tmp/script")"
  job="${job%%;*}"
  [ -n "$job" ] || fail "sbatch gave no job id"
}

# Every task's "JobState ExitCode", one a line, from Slurm's own job records.
task_states() {
  scontrol show job -o "$job" | sed -n 's/.* JobState=\([A-Z_]*\) .* ExitCode=\([0-9:]*\) .*/\1 \2/p'
}

# Polls the records rather than trusting sbatch --wait, under a timeout.
wait_for_end() {
  local deadline=$((SECONDS + patience)) states
  for (( ; ; )); do
    states="$(task_states)"
    [ -n "$states" ] &&
      ! grep -Eqv '^(COMPLETED|FAILED|CANCELLED|TIMEOUT|NODE_FAIL|OUT_OF_MEMORY) ' <<<"$states" &&
      return 0
    [ $SECONDS -lt $deadline ] || fail "job $job not over after $patience s: $(xargs <<<"$states")"
    sleep 0.2
  done
}

records() { find "$tmp/records" -name '*.args' | wc -l; }
children() { find "$tmp/records" -name '*.child' | wc -l; }

case "$case_name" in
  coverage)
    printf '[Platform]\ntotal=1000\nseedID=SL%%05d\n' >VORNCoreExTest.ini
    "$spawnbench" --plan 200 >"$tmp/plan"
    submit 200
    wait_for_end
    [ "$(task_states | sort | uniq -c | xargs)" = "5 COMPLETED 0:0" ] ||
      fail "tasks: $(task_states | xargs)"
    # Each record: pid, then one argument a line; as a command line, in copy order.
    for f in "$tmp"/records/*.args; do tail -n +2 "$f" | paste -sd ' '; done |
      sort -t ' ' -k5,5n >"$tmp/started"
    diff "$tmp/plan" "$tmp/started" || fail "the tasks did not start the plan's command lines"
    # Every index from 0 to 999 exactly once.
    awk '{ for (i = $3; i < $3 + $4; ++i) print i }' "$tmp/started" | sort -n >"$tmp/indices"
    seq 0 999 | diff - "$tmp/indices" >/dev/null || fail "indices not covered exactly once"
    echo "5 tasks, 1000 indices, each once, with the plan's command lines"
    ;;
  failure)
    printf '[Platform]\ntotal=2\nseedID=F%%d\n' >VORNCoreExTest.ini
    submit 1 VORNCORE_EXIT=3
    wait_for_end
    [ "$(task_states | sort | uniq -c | xargs)" = "2 FAILED 3:0" ] ||
      fail "tasks: $(task_states | xargs)"
    echo "copies that exit 3 show as FAILED 3:0"
    ;;
  cancel)
    # Copies that ignore SIGTERM, each with a child of its own; as many as run
    # at once here, up to two.
    cpus="$(sinfo -h -o %c | head -n 1)"
    copies=$((cpus < 2 ? cpus : 2))
    printf '[Platform]\ntotal=%d\nseedID=C%%d\n' "$copies" >VORNCoreExTest.ini
    submit 1 VORNCORE_HOLD_MS=-1 VORNCORE_CHILD=1 VORNCORE_IGNORE_TERM=1
    deadline=$((SECONDS + patience))
    until [ "$(records)" -eq "$copies" ] && [ "$(children)" -eq "$copies" ]; do
      [ $SECONDS -lt $deadline ] || fail "copies did not start: $(task_states | xargs)"
      sleep 0.1
    done
    # The copies, their children, and the SpawnBench --copy above each.
    pids="$(cat "$tmp"/records/*.child; for f in "$tmp"/records/*.args; do
      pid="$(head -n 1 "$f")"
      echo "$pid"
      awk '{ print $4 }' "/proc/$pid/stat"
    done)"
    for pid in $pids; do
      [ -e "/proc/$pid" ] || fail "process $pid ended before scancel"
    done
    scancel "$job"
    wait_for_end
    [ "$(task_states | cut -d ' ' -f 1 | sort -u)" = CANCELLED ] || fail "tasks: $(task_states | xargs)"
    # The job is over on record before its processes are; give them KillWait.
    deadline=$((SECONDS + patience))
    for pid in $pids; do
      while [ -e "/proc/$pid" ]; do
        [ $SECONDS -lt $deadline ] || fail "process $pid outlived scancel: $(tr '\0' ' ' <"/proc/$pid/cmdline")"
        sleep 0.1
      done
    done
    echo "scancel left none of $(echo $pids | wc -w) processes"
    ;;
  campaign)
    # Copies 1, 3 and 4 of 5, one at a time: 3 fails its first try and passes
    # its second, 4 hangs and times out on both.
    printf '[Platform]\ntotal=5\nseedID=K%%d\n' >VORNCoreExTest.ini
    slurm_options="-j 1 --only 1,3-4 --timeout 2 --retries 1"
    submit 1 VORNCORE_HOLD_MS=1200 VORNCORE_FAIL_TRIES_3=1 VORNCORE_HOLD_MS_4=-1
    grep -qx '#SBATCH --array=1,3-4%1' "$tmp/script" || fail "array: $(grep array "$tmp/script")"
    grep -qx '#SBATCH --time=1' "$tmp/script" || fail "time: $(grep time "$tmp/script")"
    wait_for_end
    # "ArrayTaskId JobState ExitCode StartTime EndTime", in task order.
    tasks="$(scontrol show job -o "$job" | sed -n \
      's/.* ArrayTaskId=\([0-9]*\) .* JobState=\([A-Z_]*\) .* ExitCode=\([0-9:]*\) .* StartTime=\([^ ]*\) EndTime=\([^ ]*\) .*/\1 \2 \3 \4 \5/p' | sort -n)"
    [ "$(cut -d ' ' -f 1-3 <<<"$tasks" | xargs)" = "1 COMPLETED 0:0 3 COMPLETED 0:0 4 FAILED 124:0" ] ||
      fail "tasks: $(xargs <<<"$tasks")"
    [ "$(cat "$tmp/records/tries-3")" = 2 ] || fail "copy 3 had $(cat "$tmp/records/tries-3") tries"
    # %1: each task starts once the one before has ended.
    sort -k4 <<<"$tasks" | awk '$4 < end { bad = 1 } { end = $5 } END { exit bad }' ||
      fail "tasks ran at once: $(xargs <<<"$tasks")"
    # Only the chosen copies ran.
    copies="$(for f in "$tmp"/records/*.args; do tail -n 1 "$f"; done | sort -nu | xargs)"
    [ "$copies" = "1 3 4" ] || fail "copies run: $copies"
    echo "copies 1, 3 and 4 one at a time; a retry passed, a time-out failed as 124"
    ;;
  any_size)
    # 500 copies on a cluster that takes arrays of 50: 50 tasks of 10 copies,
    # every copy once, in one job log; copies 7, 123 and 499 fail. Then a
    # rerun from that log runs just those three and adds their lines.
    patience=150
    cluster="$(dirname "$SLURM_CONF")"
    max_array_size() { bash "$root/scripts/slurm-local.sh" max-array-size "$1" "$cluster" >/dev/null; }
    trap 'max_array_size 1001; cleanup' EXIT
    max_array_size 50
    began=$SECONDS
    printf '[Platform]\ntotal=500\nseedID=Z%%05d\n' >VORNCoreExTest.ini
    log="$tmp/campaign.log"
    slurm_options="--joblog $log"
    submit 1 VORNCORE_EXIT_7=3 VORNCORE_EXIT_123=5 VORNCORE_EXIT_499=1
    grep -qx '#SBATCH --array=0-49' "$tmp/script" || fail "array: $(grep array "$tmp/script")"
    wait_for_end
    [ "$(task_states | wc -l)" -eq 50 ] || fail "$(task_states | wc -l) tasks"
    [ "$(records)" -eq 500 ] || fail "$(records) copies ran"
    [ "$(for f in "$tmp"/records/*.args; do tail -n 1 "$f"; done | sort -u | wc -l)" -eq 500 ] ||
      fail "not every copy ran"
    header=$'Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand'
    [ "$(head -n 1 "$log")" = "$header" ] && [ "$(grep -c '^Seq' "$log")" -eq 1 ] ||
      fail "header: $(grep '^Seq' "$log")"
    # Whole lines: nine columns, and the plan's command for the Seq.
    whole() { awk -F '\t' 'NR > 1 && NF == 9 && $9 == sprintf("VORNCoreExTest.exe Z%%05d %d 1 %d", $1 - 1, $1 - 1)' "$log"; }
    [ "$(whole | cut -f 1 | sort -un | wc -l)" -eq 500 ] && [ "$(wc -l <"$log")" -eq 501 ] ||
      fail "job log of $(wc -l <"$log") lines, $(whole | wc -l) whole"
    [ "$(awk -F '\t' 'NR > 1 && $7 != 0 { print $1 - 1 }' "$log" | sort -n | xargs)" = "7 123 499" ] ||
      fail "failed: $(awk -F '\t' 'NR > 1 && $7 != 0 { print $1 - 1 }' "$log" | xargs)"
    echo "500 copies in 50 tasks, each once, 501 lines in the job log ($((SECONDS - began)) s)"

    slurm_options="--rerun-failed $log --joblog $log"
    submit 1
    grep -qx '#SBATCH --array=0-2' "$tmp/script" || fail "rerun array: $(grep array "$tmp/script")"
    wait_for_end
    [ "$(records)" -eq 503 ] || fail "$(($(records) - 500)) copies ran again"
    [ "$(wc -l <"$log")" -eq 504 ] && [ "$(whole | wc -l)" -eq 503 ] ||
      fail "job log of $(wc -l <"$log") lines after the rerun"
    [ "$(tail -n 3 "$log" | awk -F '\t' '$7 == 0 && $8 == 0 { print $1 - 1 }' | sort -n | xargs)" = "7 123 499" ] ||
      fail "rerun lines: $(tail -n 3 "$log")"
    [ -z "$("$spawnbench" --rerun-failed "$log" --plan 1)" ] || fail "copies left after the rerun"

    # The script follows the cluster: arrays of 1000 take a task per copy.
    max_array_size 1000
    "$spawnbench" --slurm 1 >"$tmp/script"
    grep -qx '#SBATCH --array=0-499' "$tmp/script" || fail "array: $(grep array "$tmp/script")"
    echo "the rerun ran copies 7, 123 and 499 and added 3 lines; $((SECONDS - began)) s in all"
    ;;
  *) fail "unknown case $case_name" ;;
esac
