#!/bin/sh
# Usage: pe-stamp.sh EXE EPOCH
# Gives EXE's PE header the time stamp EPOCH and the checksum that goes with
# it. GNU ld takes the stamp from SOURCE_DATE_EPOCH, which the build sets for
# the link, and leaves nothing to do here; a linker that took its clock instead
# would make every build differ.
set -eu
exe=$1
epoch=$2
u32() { od -An -tu4 --endian=little -j "$1" -N 4 "$exe" | tr -d ' '; }
put32() {
    printf "$(printf '\\%03o' $(($2 & 255)) $(($2 >> 8 & 255)) $(($2 >> 16 & 255)) $(($2 >> 24 & 255)))" |
        dd of="$exe" bs=1 seek="$1" conv=notrunc 2>/dev/null
}
pe=$(u32 60)
stamp_at=$((pe + 8))
sum_at=$((pe + 24 + 64))   # past the signature and file header, in the optional header
[ "$(u32 $stamp_at)" = "$epoch" ] && exit 0

put32 $stamp_at "$epoch"
put32 $sum_at 0
# The checksum: the file's 16-bit words added with end-around carry (the
# checksum field as zero), plus the file's length.
sum=$(od -An -v -tu2 --endian=little "$exe" |
    awk '{ for (i = 1; i <= NF; i++) { s += $i; s = s % 65536 + int(s / 65536) } } END { print s + 0 }')
put32 $sum_at $((sum + $(wc -c <"$exe")))
