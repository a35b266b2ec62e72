#!/usr/bin/env bash
# The manual pages lint clean, SpawnBench(1) documents exactly the options of
# --help, and the completion offers exactly those.
#   man_test.sh <SpawnBench> <SpawnBench.1> <MevCompression.3> <completion>
set -uo pipefail
spawnbench="$1" page="$2" library_page="$3" completion="$4"
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

for p in "$page" "$library_page"; do
    out="$(mandoc -T lint "$p" 2>&1)"
    [ -z "$out" ] || fail "mandoc -T lint $p: $out"
    out="$(groff -ww -z -man "$p" 2>&1)"
    [ -z "$out" ] || fail "groff -ww -z $p: $out"
done

# The option column of --help: lines that start with blanks and a dash, up to
# the first run of two blanks.
help_options() {
    "$spawnbench" --help | sed -n 's/^ \{1,\}\(-[^ ].*\)$/\1/p' | sed 's/  .*//' |
        grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}
# The tags of the .TP paragraphs of OPTIONS.
page_options() {
    awk '/^\.SH /{on = ($2 == "OPTIONS")} on && tag {print} {tag = on && /^\.TP/}' "$page" |
        sed 's/\\-/-/g; s/\\f[BIRP]//g' |
        grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' | tr -d ' ,' | sort -u
}
completed_options() {
    # shellcheck disable=SC1090
    source "$completion"
    COMP_WORDS=("$spawnbench" -)
    COMP_CWORD=1
    _SpawnBench
    printf '%s\n' "${COMPREPLY[@]}" | sort -u
}

help="$(help_options)"
[ -n "$help" ] || fail "no options found in --help"
only_help="$(comm -23 <(echo "$help") <(page_options))"
only_page="$(comm -13 <(echo "$help") <(page_options))"
[ -z "$only_help" ] || fail "in --help, not in $page:" $only_help
[ -z "$only_page" ] || fail "in $page, not in --help:" $only_page
[ "$(completed_options)" = "$help" ] ||
    fail "completion offers" $(completed_options) "instead of" $help
[ $failed -eq 0 ] && echo "ok: $(echo "$help" | wc -l) options"
exit $failed
