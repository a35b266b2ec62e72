#!/usr/bin/env bash
# Builds the Debian packages spawnbench, libmevcompression1 and
# libmevcompression-dev with dpkg-buildpackage, installing what is missing.
# Everything happens in a copy of the tree in build-pkg/ (ignored by git),
# where the .deb files end up; a second run gives the same packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
bash scripts/setup.sh --no-install-recommends debhelper dpkg-dev

# The version is set in project() alone; the Debian changelog must follow it.
version="$(sed -n 's/^project(.* VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)"
changelog="$(dpkg-parsechangelog -l debian/changelog -S Version)"
if [ "$version" != "$changelog" ]; then
    echo "package.sh: project() says $version but debian/changelog says $changelog;" \
        "add a changelog entry: dch -v $version" >&2
    exit 1
fi

# A fresh copy at a fixed path: dpkg-buildpackage writes beside the tree, and
# the same path keeps the build reproducible.
out="$root/build-pkg"
rm -rf "$out"
mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"
done | tar --null -T - -cf - | tar -xf - -C "$out/src"

cd "$out/src"
export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=2 noautodbgsym"
dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1 ||
    { tail -40 "$out/build.log" >&2; echo "package.sh: dpkg-buildpackage failed, see $out/build.log" >&2; exit 1; }
cd "$out"
rm -rf src
ls -1 "$out"/*.deb
