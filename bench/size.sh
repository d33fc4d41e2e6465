#!/bin/sh
# Usage: size.sh OBJDUMP VIZAD_EXE [OTHER_EXE...]
# Prints, as Markdown, the size of vizad.exe (it must be stripped), its
# sections and its import list, and the sizes of the other executables
# for comparison. Fails only when a file cannot be read.
set -eu
objdump=$1
exe=$2
shift 2

[ -r "$exe" ] || { echo "size.sh: cannot read $exe" >&2; exit 1; }
headers=$("$objdump" -p "$exe")
bytes=$(wc -c <"$exe" | tr -d ' ')
if printf '%s\n' "$headers" | grep -q 'symbols stripped'; then stripped=yes; else stripped=no; fi

echo
echo "## Size"
echo
echo "| file | bytes | KiB | stripped | target |"
echo "|---|---:|---:|---|---|"
printf '| %s | %s | %s | %s | ≤ 32 KiB (32768 bytes) |\n' "$(basename "$exe")" "$bytes" \
    "$(awk "BEGIN { printf \"%.1f\", $bytes / 1024 }")" "$stripped"
for other in "$@"; do
    b=$(wc -c <"$other" | tr -d ' ')
    printf '| %s | %s | %s | | |\n' "$(basename "$other")" "$b" \
        "$(awk "BEGIN { printf \"%.1f\", $b / 1024 }")"
done

echo
echo "Sections of $(basename "$exe") (bytes in memory, from \`objdump -h\`):"
echo
echo "| section | bytes |"
echo "|---|---:|"
"$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2, $3 }' | while read -r name size; do
    printf '| %s | %d |\n' "$name" "$((0x$size))"
done

echo
echo "Imports of $(basename "$exe") (\`objdump -p\`):"
echo
printf '%s\n' "$headers" | awk '
    /DLL Name:/ { if (dll != "") print "- " dll " (" n "): " list; dll = $3; n = 0; list = ""; next }
    # "vma hint name" (binutils 2.40) or "vma <none> hint name" (2.44).
    dll != "" && $1 ~ /^[0-9a-f]+$/ &&
        (NF == 3 && $2 ~ /^[0-9]+$/ || NF == 4 && $2 == "<none>" && $3 ~ /^[0-9a-f]+$/) {
        list = list (n ? ", " : "") $NF; n++; next }
    dll != "" && NF == 0 { print "- " dll " (" n "): " list; dll = "" }
    END { if (dll != "") print "- " dll " (" n "): " list }'
