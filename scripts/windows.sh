#!/usr/bin/env bash
# Installs what is missing, cross-builds the whole tree for 64-bit (x86-64)
# and 32-bit (i686) Windows with mingw-w64, checks both targets' binaries,
# writes one release zip per target and runs both targets' tests under Wine,
# the i686 ones under 32-bit Wine (MevCompression.dll on libdeflate, built
# from Debian's source package):
#   build-win64/VornTools-<version>-win64.zip
#   build-win32/VornTools-<version>-win32.zip
set -euo pipefail
cd "$(dirname "$0")/.."
# llvm for llvm-dlltool; clang and lld to link a caller as Visual C++ would;
# wine32 runs the i686 build (setup.sh adds the i386 architecture for it).
bash scripts/setup.sh --no-install-recommends g++-mingw-w64-x86-64-posix \
  g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 wine32:i386 wine googletest llvm clang lld
jobs="$(nproc)"
wine=/usr/lib/wine/wine64
start=$SECONDS
phase() { echo "== $1 ($((SECONDS - start)) s)"; }

# <build dir> <toolchain> [cmake options]
build() {
  local dir="$1" toolchain="$2"
  shift 2
  phase "build $dir"
  # -O2 as on Linux, but no debug information: Windows debuggers cannot read
  # it, and leaving it out saves a third of the compile time.
  cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

# <build dir> <machine>: writes the zip and unpacks it into <build dir>/package,
# then checks what it holds.
package() {
  local dir="$1" machine="$2" zip top file bad=0
  phase "package $dir"
  rm -rf "$dir"/VornTools-*.zip "$dir/package"
  (cd "$dir" && cpack -G ZIP >/dev/null)
  zip="$(echo "$dir"/VornTools-*.zip)"
  mkdir "$dir/package"
  (cd "$dir/package" && cmake -E tar xf "../$(basename "$zip")")
  top="$(echo "$dir"/package/*)"
  for file in README.txt bin/SpawnBench.exe bin/MevCompression.dll include/MevCompression.h \
      lib/MevCompression.lib lib/libMevCompression.dll.a stand-in/VORNCoreExTest.exe \
      stand-in/VORNCoreExTest.ini licenses/zlib.txt licenses/libdeflate.txt licenses/mingw-w64.txt; do
    [ -f "$top/$file" ] || { echo "windows.sh: FAIL $zip lacks $file" >&2; bad=1; }
  done
  # Whatever else an install rule adds (a test framework's, say) must not ship.
  while IFS= read -r file; do
    case "${file#"$top/"}" in
      README.txt | bin/*.exe | bin/MevCompression.dll | include/MevCompression.h | lib/*.lib | \
        lib/*.dll.a | lib/cmake/MevCompression/* | lib/pkgconfig/MevCompression.pc | stand-in/* | \
        licenses/*.txt) ;;
      *) echo "windows.sh: FAIL $zip holds ${file#"$top/"}" >&2; bad=1 ;;
    esac
  done < <(find "$top" -type f)
  # The runtime linked into every binary: winpthreads' MIT notice.
  grep -q "^Files: mingw-w64-libraries/winpthreads/" "$top/licenses/mingw-w64.txt" ||
    { echo "windows.sh: FAIL $zip lacks winpthreads' licence" >&2; bad=1; }
  [ "$bad" -eq 0 ]
  find "$top" -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.lib' -o -name '*.dll.a' \) \
    -print0 | xargs -0 bash scripts/check_pe.sh "$machine"
  echo "wrote $zip"
}

# Configure fetches libdeflate's source too, but quietly: here its progress
# shows in the log.
phase "libdeflate's source"
bash scripts/fetch-source.sh libdeflate >/dev/null
build build-win64 mingw-x86_64
build build-win32 mingw-i686

phase "check binaries"
bash scripts/check_pe.sh x86-64 build-win64/bin/*.exe build-win64/bin/*.dll build-win64/lib/*.lib
bash scripts/check_pe.sh i386 build-win32/bin/*.exe build-win32/bin/*.dll build-win32/lib/*.lib
package build-win64 x86-64
package build-win32 i386

# <build dir> <machine> <Wine loader> <prefix architecture>: the build's unit
# tests through its ctest, the MSVC-linked caller, and the fleet tests.
# A prefix of the build's own, made once, and one wineserver with Wine's
# services started before the tests: otherwise each test pays for starting
# them, and they hold the first test's output pipe open, so their output goes
# nowhere. The server stays until stop_wine (or ten idle minutes, should this
# script be killed outright); it says so with status 2 when one runs already.
wine_tests() {
  local dir="$1" machine="$2" loader="$3"
  phase "$machine tests under Wine"
  export WINEPREFIX="$PWD/$dir/wine-prefix" WINEARCH="$4"
  mkdir -p "$WINEPREFIX"
  wineserver -p600 >/dev/null 2>&1 </dev/null || [ $? -eq 2 ]
  "$loader" wineboot -i >/dev/null 2>&1 </dev/null
  # Wine's CreateProcess now and then fails with "Internal error" in a new
  # prefix while many copies start at once (seen once in the stream test); a
  # test that fails twice running still fails the step.
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300 --repeat until-pass:2
  bash scripts/check_msvc_link.sh "$machine" "$dir"/package/VornTools-* "$loader"
  # The fleet tests: the real SpawnBench.exe under Wine, driven from Linux.
  bash tests/wine/test.sh "$dir"
  stop_wine
}

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stop_wine() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
trap stop_wine EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
wine_tests build-win64 x86-64 /usr/lib/wine/wine64 win64
# A kernel without 32-bit support cannot start the 32-bit loader at all.
if /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
  wine_tests build-win32 i386 /usr/lib/wine/wine win32
else
  echo "windows.sh: this kernel runs no 32-bit programs, so the i686 tests cannot run here" >&2
  [ "${CI:-}" != true ] || exit 1
  bash scripts/check_msvc_link.sh i386 build-win32/package/VornTools-*
fi
trap - EXIT INT TERM
phase "done"
