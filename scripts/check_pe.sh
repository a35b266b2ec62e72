#!/usr/bin/env bash
# Checks Windows binaries with the mingw-w64 objdump and nm (the x86-64 ones
# read both machines), also those of a target that cannot run here:
#   bash scripts/check_pe.sh <i386|x86-64> FILE...
# Every .exe and .dll must be a PE32 (i386) or PE32+ (x86-64) image that
# imports only system DLLs. MevCompression.dll must import KERNEL32.dll and
# msvcrt.dll only, export exactly its four
# functions, undecorated, and an import library (.lib, .dll.a) must be for the
# same machine and define the imports of exactly those four.
# The programs that use MevCompression.dll may import it too, and the tests
# the other engine's test-only build (libMevCompression_<engine>.dll).
# Prints one line per file checked and one line per problem; exits 1 on any.
set -euo pipefail

usage() {
  echo "usage: bash scripts/check_pe.sh <i386|x86-64> FILE..." >&2
  exit 2
}
[ $# -ge 2 ] || usage
machine="$1"
shift
case "$machine" in
  i386) magic="PE32" import_prefix="__imp__" ;;
  x86-64) magic="PE32+" import_prefix="__imp_" ;;
  *) usage ;;
esac
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
nm="${NM:-x86_64-w64-mingw32-nm}"

# DLLs that every Windows has.
allowed_imports=" kernel32.dll msvcrt.dll advapi32.dll user32.dll ntdll.dll ws2_32.dll
  shell32.dll ole32.dll psapi.dll userenv.dll bcrypt.dll mevcompression.dll "
exports="MevZ_CompressData
MevZ_GetMaxCompressedLen
MevZ_GetMaxUncompressedLen
MevZ_UncompressData"

problems=0
problem() {
  echo "check_pe: FAIL $1: $2" >&2
  problems=$((problems + 1))
}
one_line() { tr '\n' ' ' <<<"$1" | sed 's/ $//'; }

check_image() {
  local file="$1" before=$problems headers format magic_line imports dll lower names count name
  if ! headers="$("$objdump" -p "$file" 2>&1)"; then
    problem "$file" "objdump cannot read it: $(head -n 1 <<<"$headers")"
    return
  fi
  format="$("$objdump" -f "$file" | sed -n 's/.*file format //p')"
  [ "$format" = "pei-$machine" ] || problem "$file" "file format $format, expected pei-$machine"
  magic_line="$(grep -m 1 '^Magic' <<<"$headers" || true)"
  [[ "$magic_line" == *"($magic)"* ]] ||
    problem "$file" "optional header '$(tr -s '\t ' ' ' <<<"$magic_line")', expected $magic"

  imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")"
  for dll in $imports; do
    lower="$(tr '[:upper:]' '[:lower:]' <<<"$dll")"
    [[ "$allowed_imports" == *" $lower "* || "$lower" == libmevcompression_*.dll ]] ||
      problem "$file" "imports $dll, not a system DLL"
  done

  if [ "$(basename "$file")" = MevCompression.dll ]; then
    # Its engine is linked in: nothing beyond the system's C runtime.
    [ "$(one_line "$(tr '[:upper:]' '[:lower:]' <<<"$imports" | LC_ALL=C sort)")" = \
      "kernel32.dll msvcrt.dll" ] || problem "$file" "imports $(one_line "$imports")"
    names="$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
                  on && NF == 0 { exit }
                  on { print $NF }' <<<"$headers" | LC_ALL=C sort)"
    [ "$names" = "$exports" ] ||
      problem "$file" "exports '$(one_line "$names")', expected '$(one_line "$exports")'"
    count="$(awk '/^Export Address Table -- Ordinal Base/ { on = 1; next }
                  on && NF == 0 { exit }
                  on { n++ } END { print n + 0 }' <<<"$headers")"
    [ "$count" = 4 ] || problem "$file" "$count entries in the export address table, expected 4"
    name="$(sed -n 's/^Name[[:space:]]\{1,\}[0-9a-fA-F]\{1,\} //p' <<<"$headers" | head -n 1)"
    [ "$name" = MevCompression.dll ] || problem "$file" "export directory names '$name'"
  fi
  [ "$problems" -gt "$before" ] ||
    echo "check_pe: ok $file: $format $magic, imports $(one_line "$imports")"
}

check_import_library() {
  local file="$1" before=$problems formats symbols expected
  # Objects are pe-, short import members (Visual Studio's format) pei-.
  formats="$("$objdump" -f "$file" 2>&1 | sed -n 's/.*file format pei\{0,1\}-//p' | sort -u)"
  [ "$formats" = "$machine" ] ||
    problem "$file" "members are for '$(one_line "$formats")', expected $machine"
  symbols="$("$nm" -g --defined-only "$file" 2>/dev/null | awk '{ print $NF }' |
    grep '^__imp_' | LC_ALL=C sort || true)"
  expected="$(sed "s/^/$import_prefix/" <<<"$exports")"
  [ "$symbols" = "$expected" ] ||
    problem "$file" "defines '$(one_line "$symbols")', expected '$(one_line "$expected")'"
  grep -aq 'MevCompression\.dll' "$file" || problem "$file" "does not name MevCompression.dll"
  [ "$problems" -gt "$before" ] || echo "check_pe: ok $file: $formats, $(one_line "$symbols")"
}

for file in "$@"; do
  if [ ! -f "$file" ]; then
    problem "$file" "missing"
    continue
  fi
  case "$file" in
    *.exe | *.dll) check_image "$file" ;;
    *.lib | *.dll.a) check_import_library "$file" ;;
    *) problem "$file" "neither .exe, .dll, .lib nor .dll.a" ;;
  esac
done
if [ "$problems" -gt 0 ]; then
  echo "check_pe: $problems problem(s)" >&2
  exit 1
fi
