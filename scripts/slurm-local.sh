#!/usr/bin/env bash
# A single-node Slurm on this machine, for the tests and for trying SpawnBench
# on Slurm: munged, slurmctld and slurmd started by hand as root, with their
# configuration, state, logs and pid files in a folder of their own.
# munged's key and socket lie apart, in /run/spawnbench-slurm-<hash of the
# folder>/ (mode 755): munged refuses a socket that some user cannot reach,
# and the folder may lie in a tree others cannot enter (a home of mode 700).
#
#   bash scripts/slurm-local.sh up [folder]    # default folder: build/slurm-local
#   export SLURM_CONF=<folder>/slurm.conf      # "up" prints this line
#   bash scripts/slurm-local.sh down [folder]  # cancels every job, stops all three
#   bash scripts/slurm-local.sh max-array-size N [folder]  # the running cluster's
#
# SLURM_LOCAL_MAX_ARRAY_SIZE sets MaxArraySize at "up" (default 1001, Slurm's).
#
# Processes are tracked with proctrack/cgroup (cgroup v1 here), so that
# scancel reaches every process of a task, including daemons it forked.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
action="${1:-}"
dir="$(realpath -m "${2:-$root/build/slurm-local}")"
conf="$dir/slurm.conf"
# What every user must reach, named after the folder so that "down" finds it.
reach_top=/run
[ -d /run ] && [ -w /run ] || reach_top=/tmp
reach="$reach_top/spawnbench-slurm-$(printf %s "$dir" | sha256sum | cut -c1-12)"
up_timeout="${SLURM_LOCAL_TIMEOUT:-30}"
me="slurm-local.sh"

say() { echo "$me: $*" >&2; }

# The pid in `file` if it is alive and runs `program`, else nothing. Checking
# the program keeps a reused pid from being signalled.
live_pid() {
  local file="$1" program="$2" pid
  [ -s "$file" ] || return 0
  pid="$(tr -dc 0-9 <"$file")"
  [ -n "$pid" ] &&
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$(command -v "$program")")" ] &&
    echo "$pid"
  return 0
}

stop_daemon() {
  local file="$1" program="$2" pid
  pid="$(live_pid "$file" "$program")"
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
      [ -e "/proc/$pid" ] || break
      sleep 0.1
    done
    [ -e "/proc/$pid" ] && kill -KILL "$pid" 2>/dev/null
  fi
  rm -f "$file"
}

# Slurm's cgroups outlive the daemons: end what is left in them (thawed first,
# since a frozen process cannot die) and remove the folders.
clean_cgroups() {
  local top folder
  for top in /sys/fs/cgroup/*/slurm /sys/fs/cgroup/*/slurm_"$(hostname -s)"; do
    [ -d "$top" ] || continue
    while IFS= read -r folder; do
      [ -w "$folder/freezer.state" ] && echo THAWED >"$folder/freezer.state" 2>/dev/null
      [ -r "$folder/cgroup.procs" ] && xargs -r kill -KILL <"$folder/cgroup.procs" 2>/dev/null
    done < <(find "$top" -type d)
    for _ in $(seq 50); do
      find "$top" -depth -type d -exec rmdir {} + 2>/dev/null || true
      [ -d "$top" ] || break
      sleep 0.1
    done
    [ -d "$top" ] && say "could not remove $top"
  done
  return 0
}

down() {
  if [ -n "$(live_pid "$dir/run/slurmctld.pid" slurmctld)" ]; then
    local jobs
    jobs="$(SLURM_CONF="$conf" squeue -h -o %A 2>/dev/null | sort -u || true)"
    if [ -n "$jobs" ]; then
      # shellcheck disable=SC2086
      SLURM_CONF="$conf" scancel $jobs 2>/dev/null || true
      for _ in $(seq 100); do
        [ -z "$(SLURM_CONF="$conf" squeue -h 2>/dev/null)" ] && break
        sleep 0.2
      done
    fi
  fi
  stop_daemon "$dir/run/slurmd.pid" slurmd
  stop_daemon "$dir/run/slurmctld.pid" slurmctld
  stop_daemon "$dir/run/munged.pid" munged
  rm -rf "$reach"
  clean_cgroups
}

show_logs() {
  local log
  for log in "$dir"/log/*.log; do
    [ -f "$log" ] || continue
    echo "--- $log" >&2
    tail -n 40 "$log" >&2
  done
}

write_config() {
  local host node
  host="$(hostname -s)"
  # The node as slurmd sees this machine: name, CPUs, sockets, memory.
  node="$(slurmd -C | head -n 1)"
  cat >"$conf" <<EOF
ClusterName=spawnbench
SlurmctldHost=$host(127.0.0.1)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$reach/munge/munge.socket.2
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/run/slurmctld.pid
SlurmdPidFile=$dir/run/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/cgroup
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
MailProg=/bin/true
SchedulerType=sched/backfill
# Array tasks start together, not in waves three seconds apart.
SchedulerParameters=batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
# A task that ignores SIGTERM is killed two seconds after scancel, not thirty.
KillWait=2
# Ended jobs stay in scontrol's records for five minutes.
MinJobAge=300
ReturnToService=2
MaxArraySize=${SLURM_LOCAL_MAX_ARRAY_SIZE:-1001}
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  # proctrack/cgroup launches nothing without this file.
  cat >"$dir/cgroup.conf" <<EOF
CgroupPlugin=autodetect
CgroupMountpoint=/sys/fs/cgroup
EOF
  # With cgroup v2 alone and no systemd to ask for a scope, Slurm makes its
  # own cgroups.
  if [ -f /sys/fs/cgroup/cgroup.controllers ] && [ ! -d /run/systemd/system ]; then
    printf 'IgnoreSystemd=yes\nCgroupAutomount=yes\n' >>"$dir/cgroup.conf"
  fi
}

up() {
  local socket="$reach/munge/munge.socket.2"
  bash "$root/scripts/setup.sh" --no-install-recommends slurmctld slurmd slurm-client munge
  down
  # State left from an earlier start makes the node look idle before slurmd
  # has registered.
  rm -rf "$dir/state" "$dir/spool" "$dir/run" "$dir/log" "$dir/munge" "$reach"
  mkdir -p "$dir/state" "$dir/spool" "$dir/run" "$dir/log"
  # munged refuses a key others can read and a socket folder others cannot
  # enter or may write to.
  (umask 022 && mkdir -p "$reach/munge")
  chmod 755 "$reach" "$reach/munge"
  (umask 077 && head -c 1024 /dev/urandom >"$reach/munge/munge.key")
  write_config

  local failed=""
  munged --key-file="$reach/munge/munge.key" --socket="$socket" \
    --pid-file="$dir/run/munged.pid" --log-file="$dir/log/munged.log" \
    --seed-file="$reach/munge/munged.seed" || failed="munged"
  [ -n "$failed" ] || SLURM_CONF="$conf" slurmctld || failed="slurmctld"
  [ -n "$failed" ] || SLURM_CONF="$conf" slurmd || failed="slurmd"
  local deadline=$((SECONDS + up_timeout))
  while [ -z "$failed" ]; do
    [ "$(SLURM_CONF="$conf" sinfo -h -N -o %T 2>/dev/null)" = "idle" ] && break
    [ $SECONDS -lt $deadline ] || failed="the node (not idle within $up_timeout s)"
    sleep 0.2
  done
  if [ -n "$failed" ]; then
    say "cannot start $failed"
    show_logs
    down
    exit 1
  fi
  echo "Slurm is up. For sbatch, squeue, scancel and the rest:"
  echo "export SLURM_CONF=$conf"
}

# The largest job array the running controller takes, changed in place:
# reconfigured, or restarted if reconfiguring leaves it as it was.
max_array_size() {
  local size="$1" deadline
  [[ "$size" =~ ^[0-9]+$ ]] || {
    say "usage: bash scripts/slurm-local.sh max-array-size N [folder]"
    exit 2
  }
  [ -n "$(live_pid "$dir/run/slurmctld.pid" slurmctld)" ] || {
    say "no controller runs for $conf"
    exit 1
  }
  sed -i "s/^MaxArraySize=.*/MaxArraySize=$size/" "$conf"
  grep -q "^MaxArraySize=$size\$" "$conf" || echo "MaxArraySize=$size" >>"$conf"
  shown() { SLURM_CONF="$conf" scontrol show config 2>/dev/null | awk '$1 == "MaxArraySize" { print $3 }'; }
  SLURM_CONF="$conf" scontrol reconfigure
  deadline=$((SECONDS + up_timeout))
  until [ "$(shown)" = "$size" ]; do
    [ $SECONDS -lt $deadline ] || {
      say "MaxArraySize is still $(shown), not $size"
      exit 1
    }
    sleep 0.2
  done
}

[ "$(id -u)" -eq 0 ] || {
  say "slurmd must run as root: sudo bash $0 $*"
  exit 1
}
case "$action" in
  up) up ;;
  down) down ;;
  max-array-size)
    dir="$(realpath -m "${3:-$root/build/slurm-local}")"
    conf="$dir/slurm.conf"
    max_array_size "${2:-}"
    ;;
  *)
    say "usage: bash scripts/slurm-local.sh up|down|max-array-size N [folder]"
    exit 2
    ;;
esac
