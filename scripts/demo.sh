#!/usr/bin/env bash
# Installs what is missing, builds, and runs a demo fleet from examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
cd examples
# 1000 indices with at most 200 per copy: five copies that work a few seconds
# each, then end on their own. Press Enter to stop them early.
exec ../build/bin/SpawnBench 200
