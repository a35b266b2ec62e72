#!/usr/bin/env bash
# Builds the Debian packages, runs lintian, installs them with apt-get,
# checks the installed program, manual page and library (the consumer built
# through pkg-config and find_package), then purges them, checks that none of
# their files is left, and removes every package this check installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt=(env DEBIAN_FRONTEND=noninteractive $sudo apt-get -y -qq -o DPkg::Lock::Timeout=600)
packages=(spawnbench libmevcompression1 libmevcompression-dev)
installed() {
    dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 == "installed" {print $2}' | sort -u
}

work="$(mktemp -d)"
installed >"$work/before"
cleanup() {
    status=$?
    set +e
    [ -n "${holder:-}" ] && kill "$holder" 2>/dev/null
    # Everything installed since the start goes: ours and what the check needed.
    mapfile -t added < <(installed | comm -13 "$work/before" -)
    if [ ${#added[@]} -gt 0 ]; then
        echo "== removing what the check installed: ${added[*]}"
        "${apt[@]}" purge "${added[@]}" >/dev/null
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT

echo "== build"
bash scripts/package.sh
version="$(sed -n 's/^project(.* VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)"
bash scripts/setup.sh --no-install-recommends lintian man-db

echo "== lintian"
lintian --fail-on error,warning build-pkg/spawnbench_"${version}"_*.changes

echo "== install"
$sudo apt-get update -qq
"${apt[@]}" install "$root"/build-pkg/*_"${version}"_*.deb >/dev/null

echo "== the installed program"
[ "$(command -v SpawnBench)" = /usr/bin/SpawnBench ]
[ "$(SpawnBench --version | head -n 1)" = "SpawnBench $version" ]
man -w SpawnBench
man -w 3 MevCompression
(
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/completions/SpawnBench
    COMP_WORDS=(SpawnBench --vers)
    COMP_CWORD=1
    _SpawnBench
    [ "${COMPREPLY[*]}" = --version ]
)

echo "== the demo fleet, from the stand-in's folder"
# Standard input stays open, as a terminal's would, so the copies end by
# themselves; its end would stop the fleet at once.
mkfifo "$work/stdin"
sleep 600 >"$work/stdin" &
holder=$!
(cd /usr/lib/spawnbench/stand-in &&
    timeout 60 SpawnBench --strict --joblog "$work/joblog" 200 <"$work/stdin" >"$work/demo.out")
grep -q "All VORNCore Stopped!" "$work/demo.out"
[ "$(awk -F '\t' 'NR > 1 && $7 == 0' "$work/joblog" | wc -l)" -eq 5 ]
echo "5 copies ran and exited with status 0"

echo "== the consumer against the installed -dev package"
sample="$work/sample.bin"
cat "$root"/examples/*.c "$root"/compression/src/*.c >"$sample"
head -c 100000 /dev/urandom >>"$sample"
cmake -S examples/consumer -B "$work/cmake-build" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
# shellcheck disable=SC2046 # the flags must split into words
cc -std=c99 -Wall -Wextra -Wpedantic -Werror examples/mevz_roundtrip.c -o "$work/pc-roundtrip" \
    $(pkg-config --cflags --libs MevCompression)
[ "$(pkg-config --modversion MevCompression)" = "$version" ]
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
for exe in "$work/cmake-build/mevz_roundtrip" "$work/pc-roundtrip"; do
    libs="$(ldd "$exe")"
    # /lib is /usr/lib on a merged /usr.
    [[ "$libs" =~ libMevCompression\.so\.1\ =\>\ (/usr)?/lib/$multiarch/libMevCompression\.so\.1\  ]] ||
        { echo "$exe does not load the installed library: $libs" >&2; exit 1; }
    "$exe" "$sample"
done

echo "== removing the library under the -dev package is refused"
if $sudo dpkg -r libmevcompression1 >/dev/null 2>&1; then
    echo "dpkg removed libmevcompression1 although libmevcompression-dev needs it" >&2
    exit 1
fi
[ "$(dpkg-query -W -f='${db:Status-Status}' libmevcompression1)" = installed ]
# The refused removal leaves the package marked for removal: take that back.
echo "libmevcompression1 install" | $sudo dpkg --set-selections

echo "== purge"
for p in "${packages[@]}"; do
    echo "-- dpkg -L $p"
    dpkg -L "$p" | grep -vx "/\." | tee -a "$work/files"
done
"${apt[@]}" purge "${packages[@]}" >/dev/null
left=()
while IFS= read -r f; do
    # Folders that other packages share stay, as long as something else is in them.
    if [ -d "$f" ] && [ ! -L "$f" ]; then
        [ -z "$(dpkg -S "$f" 2>/dev/null)" ] && left+=("$f")
    elif [ -e "$f" ] || [ -L "$f" ]; then
        left+=("$f")
    fi
done <"$work/files"
[ ${#left[@]} -eq 0 ] || { echo "left after purge: ${left[*]}" >&2; exit 1; }
echo "packages ok"
