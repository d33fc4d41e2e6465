#!/bin/sh
# Usage: texts.sh WINDRES OBJDUMP EXE GUIDE
# The administrator's guide's table of entries and refusals (the rows after
# its "<!-- texts:" mark, each text in the first column in backticks) holds
# every text that EXE carries, word for word, and no other: the message
# catalogue (its string table, as the resource compiler writes it back, with
# \n and \t) and the texts in the code, every NUL-ended printable run with a
# %s that ends in "." or ".\n". A new or changed text fails here until the
# guide has it.
set -eu
export LC_ALL=C
windres=$1
strings=${2%objdump}strings   # the same toolchain's
exe=$3
guide=$4
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$windres" -i "$exe" -O rc | sed -n 's/^  [0-9][0-9]*, "\(.*\)"$/\1/p' >"$dir/carried"
[ -s "$dir/carried" ] || { echo "FAILED: no string table in $exe"; exit 1; }
"$strings" -a -w -s "$(printf '\036')" "$exe" |
    awk 'BEGIN { RS = "\036" } { gsub(/\n/, "\\n"); gsub(/\t/, "\\t") } /%s/ && /\.(\\n)?$/' >>"$dir/carried"
awk '/^<!-- texts:/ { on = 1; next } on && !/^\|/ { exit } on' "$guide" |
    sed -n 's/^| `\([^`]*\)` |.*/\1/p' | sort -u >"$dir/listed"
sort -u "$dir/carried" -o "$dir/carried"
fail=0
report() {
    [ -s "$dir/$2" ] || return 0
    echo "FAILED: $1"
    sed 's/^/  /' "$dir/$2"
    fail=1
}
comm -23 "$dir/carried" "$dir/listed" >"$dir/unlisted"
comm -13 "$dir/carried" "$dir/listed" >"$dir/stale"
report "texts of vizad.exe that the guide's table lacks:" unlisted
report "texts in the guide's table that vizad.exe does not carry:" stale
[ "$fail" = 1 ] || echo "ok: the guide lists the $(wc -l <"$dir/carried") texts of vizad.exe"
exit $fail
