#!/usr/bin/env bash
# Links tests/compression/msvc_caller.c against a package's MevCompression.lib
# the way Visual C++ would: clang for the MSVC target, lld-link, no C runtime.
# The 32-bit caller is compiled with stdcall as its default (like cl /Gz), so
# only the header's __cdecl makes its calls match the DLL, and linked with
# /SAFESEH, which 32-bit Visual Studio projects commonly turn on. Given a Wine
# loader, runs the result beside MevCompression.dll.
#   bash scripts/check_msvc_link.sh <i386|x86-64> <unpacked package> [wine loader]
set -euo pipefail
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: bash scripts/check_msvc_link.sh <i386|x86-64> <package> [wine loader]" >&2
  exit 2
fi
machine="$1" package="$2" loader="${3:-}"
root="$(cd "$(dirname "$0")/.." && pwd)"
case "$machine" in
  i386) target=(--target=i686-pc-windows-msvc -mrtd) link=(/machine:x86 /safeseh) ;;
  x86-64) target=(--target=x86_64-pc-windows-msvc) link=(/machine:x64) ;;
  *) echo "check_msvc_link: unknown machine $machine" >&2; exit 2 ;;
esac
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check_msvc_link: FAIL $machine: $1" >&2
  exit 1
}
clang "${target[@]}" -ffreestanding -O1 -Wall -Wextra -Werror -I"$package/include" \
  -c "$root/tests/compression/msvc_caller.c" -o "$work/caller.obj" ||
  fail "the caller does not compile against MevCompression.h"
lld-link /nologo /entry:start /subsystem:console /nodefaultlib "${link[@]}" "$work/caller.obj" \
  "$package/lib/MevCompression.lib" /out:"$work/caller.exe" ||
  fail "lld-link does not link the caller against MevCompression.lib"
if [ -n "$loader" ]; then
  cp "$package/bin/MevCompression.dll" "$work/"
  status=0
  "$loader" "$work/caller.exe" </dev/null || status=$?
  [ "$status" -eq 0 ] || fail "the caller linked with MevCompression.lib exits with $status"
  echo "check_msvc_link: ok $machine: linked with MevCompression.lib and ran under Wine"
else
  echo "check_msvc_link: ok $machine: linked with MevCompression.lib"
fi
