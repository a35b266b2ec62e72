#!/usr/bin/env bash
# Installs with apt-get whatever a fresh Debian 12 machine lacks to build and
# test this tree. Extra package names may be given as arguments, and apt-get
# options (e.g. --no-install-recommends) among them.
set -euo pipefail
packages=(cmake make g++ pkg-config zlib1g-dev libdeflate-dev libgtest-dev libgmock-dev
  libxml2-utils python3-junitparser mandoc groff-base chromium chromium-driver python3-selenium)
options=()
for arg in "$@"; do
  case "$arg" in
    -*) options+=("$arg") ;;
    *) packages+=("$arg") ;;
  esac
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# An i386 package (wine32:i386, zlib1g-dev:i386) needs that architecture added.
if [[ " ${packages[*]} " == *:i386\ * ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "adding the i386 architecture"
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
fi
# A name without an architecture means the machine's own (or all): with i386
# added, dpkg also knows a package's i386 copy.
native="$(dpkg --print-architecture)"
missing=()
for p in "${packages[@]}"; do
  arch="${p#*:}"
  [ "$arch" != "$p" ] || arch="$native"
  dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null |
    grep -Eqx "($arch|all) install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${options[@]}" "${missing[@]}"
fi
