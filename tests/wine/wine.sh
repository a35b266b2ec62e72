#!/usr/bin/env bash
# Runs a Windows program under Wine, for the tests:
#   wine.sh LOADER PREFIX PROGRAM [ARGUMENT...]
# The first call creates PREFIX. Whenever no server runs for it, one is started
# that stays 30 seconds past its last program, and Wine's own services are
# started with their output on the null device: so a series of test programs
# shares one server, and no service holds a test's output open. Stop it at once
# with `WINEPREFIX=PREFIX wineserver -k`.
set -euo pipefail
loader=$1
mkdir -p "$2"
prefix=$(cd "$2" && pwd)  # Wine wants it absolute
shift 2
if [ ! -x "$loader" ]; then
    echo "wine.sh: no Wine loader at $loader; install wine64, and wine32:i386 for i686 programs" >&2
    exit 127
fi
# The 32-bit loader gets a 32-bit prefix of its own.
[ "$(basename "$loader")" != wine ] || export WINEARCH=${WINEARCH:-win32}
# No Mono or Gecko for a new prefix: nothing here needs them.
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
server=$(dirname "$loader")/wineserver
[ -x "$server" ] || server=wineserver
{
    flock 9
    # Exits 2, doing nothing, when a server runs already. The server and the
    # services must not inherit the lock, or they would hold it for their life.
    if "$server" -p30 </dev/null >/dev/null 2>&1 9>&-; then
        "$loader" wineboot -i </dev/null >/dev/null 2>&1 9>&-
    fi
} 9>"$prefix.lock"
exec "$loader" "$@"
