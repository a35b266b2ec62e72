#!/usr/bin/env bash
# The Slurm tests (ctest label "slurm") against a single-node Slurm started
# here and stopped again however they end. Needs root and the build in build/
# (bash scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'bash scripts/slurm-local.sh down' EXIT
bash scripts/slurm-local.sh up
export SLURM_CONF="$PWD/build/slurm-local/slurm.conf"
ctest --test-dir build -L slurm --output-on-failure --timeout 120
