#!/usr/bin/env bash
# Installs a finished build into a scratch prefix and builds the compression
# example against that installed copy, once through find_package and once
# through pkg-config, then runs both on a sample file.
#   .ci/consumer.sh <build-dir>
# Use a build without sanitizers: the consumer links none of their runtimes.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in lib/libMevCompression.so lib/libMevCompression.so.1 include/MevCompression.h \
    lib/pkgconfig/MevCompression.pc lib/cmake/MevCompression/MevCompressionConfig.cmake; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done

echo "== find_package"
cmake -S "$root/examples/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null

echo "== pkg-config"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046 # the flags must split into words
"${CC:-cc}" -std=c99 -Wall -Wextra -Wpedantic -Werror "$root/examples/mevz_roundtrip.c" \
    -o "$work/pc-roundtrip" $(pkg-config --cflags --libs MevCompression)

# Text followed by random bytes, so both easy and incompressible data pass
# through; and an empty file, the smallest stream.
sample="$work/sample.bin"
cat "$root"/examples/*.c "$root"/compression/src/*.c >"$sample"
head -c 100000 /dev/urandom >>"$sample"
: >"$work/empty"

export LD_LIBRARY_PATH="$prefix/lib"
for exe in "$work/cmake-build/mevz_roundtrip" "$work/pc-roundtrip"; do
    # Capture first: under pipefail an early-exiting grep -q can SIGPIPE ldd
    # and fail the pipeline even though the line matched.
    libs="$(ldd "$exe")"
    [[ "$libs" == *"$prefix/lib/libMevCompression.so.1"* ]] ||
        { echo "$exe does not load the installed library:" $libs >&2; exit 1; }
    "$exe" "$sample"
    "$exe" "$work/empty"
done
echo "consumer ok"
