#!/usr/bin/env bash
# scripts/fetch-source.sh without the network: a cached tarball is used only
# while it matches its .dsc, and the machine's sources in either format become
# deb-src sources. Archives at 127.0.0.1:9 refuse at once.
set -euo pipefail
script="$(cd "$(dirname "$0")/../.." && pwd)/scripts/fetch-source.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VORN_CACHE_DIR="$work/cache" VORN_APT_ETC="$work/etc"
fail() { echo "fetch_source_test: FAIL $*" >&2; exit 1; }

mkdir -p "$work/etc/sources.list.d" "$work/cache/sources/pkg"
printf 'deb [arch=amd64] http://127.0.0.1:9/debian stable main\n# deb http://x y z\n' \
  >"$work/etc/sources.list"
printf 'Types: deb\nURIs: http://127.0.0.1:9/debian\nSuites: stable\nComponents: main\n\n%s\n' \
  'Types: rpm' >"$work/etc/sources.list.d/a.sources"

cached="$work/cache/sources/pkg/pkg_1.0.orig.tar.gz"
echo upstream >"$cached"
printf 'Source: pkg\nChecksums-Sha256:\n %s %s pkg_1.0.orig.tar.gz\n %s 1 pkg_1.0-1.debian.tar.xz\n' \
  "$(sha256sum "$cached" | cut -d' ' -f1)" "$(stat -c %s "$cached")" "$(printf '0%.0s' {1..64})" \
  >"$work/cache/sources/pkg/pkg_1.0-1.dsc"
[ "$(bash "$script" pkg 2>/dev/null)" = "$cached" ] || fail "a matching cached tarball is not used"

echo Upstream >"$cached"
if out="$(bash "$script" pkg 2>"$work/err")"; then fail "a changed tarball was handed over: $out"; fi
[ -z "$out" ] || fail "a changed tarball was printed: $out"
grep -q 'reached no source index' "$work/err" || fail "no fetch was tried: $(cat "$work/err")"

sources="$(cat "$work/cache/apt/sources/"*)"
[[ "$sources" == *"deb-src [arch=amd64] http://127.0.0.1:9/debian stable main"* ]] ||
  fail "the one-line source was not turned: $sources"
[[ "$sources" == *"Types: deb-src"* && "$sources" != *rpm* && "$sources" != *"deb http://x"* ]] ||
  fail "the deb822 sources were not turned: $sources"
echo "fetch_source_test: ok"
