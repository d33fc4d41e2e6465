# Sourced by the package checks: one verdict line per check, and $fail set
# when any check failed; a bounded wait; the guide's blocks; what runs in a
# case's own Wine prefix, and its end.
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

# end_case STATUS SESSION DIR [MORE...]: the end of a case that ran in the
# Wine prefix DIR/prefix. Its session stops; when the case passed (STATUS 0,
# no failed check), the prefix goes, with MORE (what else it built), and
# the logs stay: a prefix is hundreds of megabytes, and a run makes one per
# case. A case that failed keeps everything, and says where.
end_case() {
    timeout 60 "$2" stop "$3" || :
    if [ "$1" = 0 ] && [ "$fail" = 0 ]; then
        rm -rf "$3/prefix"
        shift 3
        [ $# = 0 ] || rm -rf "$@"
    else
        echo "kept for a look: $3 (the case's Wine prefix and its logs)"
    fi
}
