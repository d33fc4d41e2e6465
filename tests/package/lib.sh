# Sourced by the package checks: one verdict line per check, and $fail set
# when any check failed.
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
