# Sourced by the package checks: one verdict line per check, and $fail set
# when any check failed; a bounded wait; the guide's blocks; and what runs in
# a case's own Wine prefix.
fail=0
# check WHAT GOT EXPECTED
check() {
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        printf 'FAILED: %s\n  expected: %s\n  got:      %s\n' "$1" "$3" "$2"
        fail=1
    fi
}

# wait_for SECONDS COMMAND...: true once COMMAND succeeds, false after SECONDS.
wait_for() {
    n=$(($1 * 5))
    shift
    until "$@"; do
        [ "$n" -gt 0 ] || return 1
        n=$((n - 1))
        sleep 0.2
    done
}

# The administrator's guide's block NAME (docs/administrators.md under
# $srcdir), its lines as written.
block() {
    lines=$(awk -v mark="<!-- guide-test: $1 -->" '
        $0 == mark { want = 1; next }
        want && /^```/ { if (inside) exit; inside = 1; next }
        inside' "$srcdir/docs/administrators.md")
    [ -n "$lines" ] || { echo "FAILED: no block '$1' in docs/administrators.md" >&2; exit 1; }
    printf '%s\n' "$lines"
}

# Processes of this prefix (no other Wine session's) whose command line
# matches the extended regular expression $1.
prefix_pids() {
    for p in $(pgrep -f -- "$1" || :); do
        tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$p"
    done
    :
}
server_gone() { [ -z "$(prefix_pids 'sample_server\.exe')" ]; }
# Whether the sample server's log $1 shows a heartbeat.
beating() { grep -q 'serving, tick' "$1" 2>/dev/null; }
