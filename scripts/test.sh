#!/usr/bin/env bash
# Builds everything and runs every test. VORN_SANITIZE=address,undefined (or
# thread) builds the suite with those sanitizers into its own folder. The
# tests that need a Slurm cluster (label "slurm") run in .ci/slurm.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
san="${VORN_SANITIZE:-}"
build="build${san:+-${san//,/-}}"
cmake -S . -B "$build" -DVORN_SANITIZE="$san" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300 -LE slurm
