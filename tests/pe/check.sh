#!/bin/sh
# Usage: check.sh OBJDUMP EXE ARCH VERSION EPOCH PE_STAMP
# Checks what the executable promises the system: a console program for
# Windows 6.0 (Vista) and later with ASLR and DEP (and high-entropy ASLR on
# x86_64), relocations to make ASLR real, imports from system DLLs only, a
# version resource that carries VERSION, a manifest that runs it as the
# invoker on every Windows from Vista on, and the release date EPOCH as its
# time stamp, which PE_STAMP (the build's fallback) writes as the linker does.
set -eu
objdump=$1
exe=$2
arch=$3
version=$4
epoch=$5
pe_stamp=$6
strings=${objdump%objdump}strings   # the same toolchain's
headers=$("$objdump" -p "$exe")
fail=0
# check WHAT PATTERN [TEXT]: PATTERN (an extended regex) must match TEXT,
# the headers by default.
check() {
    if printf '%s\n' "${3-$headers}" | grep -Eq "$2"; then
        echo "ok: $1"
    else
        echo "FAILED: $1"
        fail=1
    fi
}
check "console subsystem" 'Subsystem[[:space:]]+00000003'
check "DYNAMIC_BASE (ASLR)" '^[[:space:]]+DYNAMIC_BASE$'
check "NX_COMPAT (DEP)" '^[[:space:]]+NX_COMPAT$'
check "relocations present" 'Base Relocation Directory \[\.reloc\]'
if [ "$arch" = x86_64 ]; then
    check "HIGH_ENTROPY_VA" '^[[:space:]]+HIGH_ENTROPY_VA$'
fi

# The least Windows, from the header: 6.0 or later for the OS and the subsystem.
for field in OSystem Subsystem; do
    major=$(printf '%s\n' "$headers" | sed -n "s/^Major${field}Version[[:space:]]*//p")
    minor=$(printf '%s\n' "$headers" | sed -n "s/^Minor${field}Version[[:space:]]*//p")
    check "$field version $major.$minor is 6.0 or later" '^yes$' \
        "$([ "${major:-0}" -ge 6 ] && echo yes || echo no)"
done

# The version resource: its strings are UTF-16, one a line after the key.
texts=$("$strings" -el "$exe")
after() { printf '%s\n' "$texts" | sed -n "/^$1\$/{n;p;q}"; }
check "FileVersion $version" "^$version\$" "$(after FileVersion)"
check "ProductVersion $version" "^$version\$" "$(after ProductVersion)"
check "OriginalFilename vizad.exe" '^vizad\.exe$' "$(after OriginalFilename)"
check "ProductName VIZAD" '^VIZAD$' "$(after ProductName)"
check "FileDescription, InternalName, LegalCopyright" '^3$' \
    "$(printf '%s\n' "$texts" | grep -cE '^(FileDescription|InternalName|LegalCopyright)$')"
# The fixed part: after the signature FEEF04BD and the structure's version,
# the file and product versions as minor, major, build, patch (16 bits each).
at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$exe" | head -n 1 | cut -d: -f1)
fixed=$(od -An -tu2 -j $((${at:-0} + 8)) -N 16 "$exe" | tr -s ' ' | sed 's/^ //')
IFS=. read -r major minor patch <<EOV
$version
EOV
want="$minor $major 0 $patch $minor $major 0 $patch"
check "fixed file and product versions $version.0" "^$want\$" "${at:+$fixed}"

# The manifest is stored as its own UTF-8 bytes.
check "manifest: asInvoker, no UI access" '^1$' \
    "$(grep -ac 'level="asInvoker" uiAccess="false"' "$exe")"
check "manifest: supportedOS from Vista to 10 and 11" '^5$' \
    "$(grep -ao '<supportedOS Id="{[0-9a-f-]*}"/>' "$exe" | sort -u | wc -l)"

# The time stamp, in the file header past the "PE\0\0" signature, and the
# checksum in the optional header after it.
u32() { od -An -tu4 --endian=little -j "$1" -N 4 "$2" | tr -d ' '; }
pe=$(u32 60 "$exe")
check "time stamp is the release date $epoch" "^$epoch\$" "$(u32 $((pe + 8)) "$exe")"
copy=$(mktemp)
trap 'rm -f "$copy"' EXIT
cp "$exe" "$copy"
for at in $((pe + 8)) $((pe + 24 + 64)); do
    dd if=/dev/zero of="$copy" bs=1 seek=$at count=4 conv=notrunc 2>/dev/null
done
sh "$pe_stamp" "$copy" "$epoch"
check "pe-stamp.sh writes the linker's time stamp and checksum" '^same$' \
    "$(cmp -s "$copy" "$exe" && echo same || echo differs)"

dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $dlls)"
for dll in $dlls; do
    case $dll in
    kernel32.dll|advapi32.dll|user32.dll|msvcrt.dll) ;;
    *) echo "FAILED: imports $dll, not a system DLL"; fail=1 ;;
    esac
done
exit $fail
