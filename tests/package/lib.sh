# Sourced by the package checks: one verdict line per check, and $fail set
# when any check failed; and a bounded wait.
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
