#!/usr/bin/env bash
# Builds everything and runs every test. VORN_SANITIZE=address,undefined (or
# thread) builds the suite with those sanitizers into its own folder.
# VORN_ARCH=i386 builds it for 32-bit Linux (gcc -m32 and Debian's i386
# packages) into build-i386/ and runs it there, fleets included. The tests
# that need a Slurm cluster (label "slurm") run in .ci/slurm.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${VORN_ARCH:-}"
packages=()
options=()
case "$arch" in
  "") ;;
  i386)
    packages=(g++-multilib zlib1g-dev:i386 libdeflate-dev:i386 libgtest-dev:i386 libgmock-dev:i386)
    options=(-DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux.cmake)
    ;;
  *) echo "test.sh: VORN_ARCH is i386 or unset, not '$arch'" >&2; exit 2 ;;
esac
bash scripts/setup.sh "${packages[@]+"${packages[@]}"}"
san="${VORN_SANITIZE:-}"
build="build${arch:+-$arch}${san:+-${san//,/-}}"
cmake -S . -B "$build" -DVORN_SANITIZE="$san" "${options[@]+"${options[@]}"}" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ -n "$arch" ]; then
  # A kernel without 32-bit support refuses to start the programs at all.
  status=0
  "$build/bin/SpawnBench" --help >/dev/null 2>&1 || status=$?
  if [ "$status" -eq 126 ]; then
    echo "test.sh: this kernel runs no 32-bit programs, so the $arch build's tests cannot run here" >&2
    [ "${CI:-}" != true ] || exit 1
    exit 0
  fi
fi
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300 -LE slurm
