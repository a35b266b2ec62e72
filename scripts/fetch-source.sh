#!/usr/bin/env bash
# Fetches a Debian source package with apt, without changing the machine's apt
# configuration, into a cache outside the tree, and prints the path of its
# upstream tarball once that matches the checksum in the .dsc:
#   bash scripts/fetch-source.sh libdeflate
# The cache is $VORN_CACHE_DIR, else ~/.cache/vorn (or $XDG_CACHE_HOME/vorn).
# A cached tarball that matches is used as it is, without the network; one
# that does not is fetched again. Progress goes to standard error, and a
# failure ends with one line saying why.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 <source package>" >&2; exit 2; }
package="$1"
home="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
cache="${VORN_CACHE_DIR:-${XDG_CACHE_HOME:-$home/.cache}/vorn}"
dir="$cache/sources/$package"
fail() { echo "fetch-source.sh: $*" >&2; exit 1; }
mkdir -p "$cache"
# Builds side by side may share the cache.
exec 9>"$cache/.lock"
flock 9

# Prints the verified upstream tarball in $dir; fails if there is none.
verified_tarball() {
  local dsc sum size name
  dsc="$(find "$dir" -maxdepth 1 -name '*.dsc' 2>/dev/null | head -n 1)"
  [ -n "$dsc" ] || return 1
  # The Checksums-Sha256 field: " <sha256> <size> <name>" lines.
  read -r sum size name < <(awk '/^Checksums-Sha256:/ {f = 1; next} /^[^ ]/ {f = 0}
    f && $3 ~ /\.orig\.tar\./ {print; exit}' "$dsc") || return 1
  [ -f "$dir/$name" ] && [ "$(stat -c %s "$dir/$name")" = "$size" ] || return 1
  [ "$(sha256sum "$dir/$name" | cut -d' ' -f1)" = "$sum" ] || return 1
  echo "$dir/$name"
}

if tarball="$(verified_tarball)"; then
  echo "fetch-source.sh: $package: cached $tarball" >&2
  echo "$tarball"
  exit 0
fi
if compgen -G "$dir/*.orig.tar.*" >/dev/null; then
  echo "fetch-source.sh: $package: the cached tarball does not match its .dsc, fetching again" >&2
fi

# The machine's own binary sources, as source sources, in a folder of our
# own: one-line .list files and deb822 .sources files alike.
work="$cache/apt"
rm -rf "$work" "$dir"
mkdir -p "$work/sources" "$work/lists/partial" "$work/cache/archives/partial" "$dir"
etc="${VORN_APT_ETC:-/etc/apt}"  # another folder only to try other layouts
lists=()
[ -f "$etc/sources.list" ] && lists+=("$etc/sources.list")
for f in "$etc"/sources.list.d/*.list "$etc"/sources.list.d/*.sources; do
  [ -f "$f" ] && lists+=("$f")
done
n=0
for f in "${lists[@]+"${lists[@]}"}"; do
  n=$((n + 1))
  case "$f" in
    *.sources)
      # Stanzas whose Types name deb or deb-src, as deb-src.
      awk -v RS= -v ORS='\n\n' '/(^|\n)Types:[^\n]*[ \t]deb(-src)?([ \t\n]|$)/ {
        sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); print }' "$f" >"$work/sources/$n.sources"
      ;;
    *)
      sed -n 's/^[ \t]*deb[ \t]/deb-src /p' "$f" >"$work/sources/$n.list"
      ;;
  esac
done
grep -qs -e '^deb-src ' -e '^Types: deb-src' "$work"/sources/* ||
  fail "no Debian sources in $etc to fetch $package from"

apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/sources"
  -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o APT::Sandbox::User=root)
echo "fetch-source.sh: $package: apt-get update (deb-src only, private lists)" >&2
log="$work/log"
# A source that has no source index (a third party's) only warns; what
# counts is whether the package is then found.
"${apt[@]}" update >"$log" 2>&1 || true
if ! (cd "$dir" && "${apt[@]}" source --download-only "$package") >>"$log" 2>&1; then
  # With no index fetched, apt's own last word (no deb-src URIs) misleads.
  unreached="$(sed -n 's/^W: Failed to fetch [^ ]*  *//p' "$log" | head -n 1)"
  if [ -n "$unreached" ] && ! ls "$work"/lists/*Sources* >/dev/null 2>&1; then
    fail "apt-get update reached no source index (network?): $unreached"
  fi
  why="$(grep -E '^(E|W):' "$log" | tail -n 1)"
  fail "apt-get source $package failed${why:+: $why}"
fi
tarball="$(verified_tarball)" || fail "$package: the upstream tarball does not match its .dsc"
echo "fetch-source.sh: $package: fetched $(basename "$tarball") ($(stat -c %s "$tarball") bytes)" >&2
echo "$tarball"
