#!/bin/sh
# Usage: check.sh OBJDUMP EXE ARCH
# Checks what the executable promises the system: a console program with
# ASLR and DEP (and high-entropy ASLR on x86_64), relocations to make ASLR
# real, and imports from system DLLs only.
set -eu
objdump=$1
exe=$2
arch=$3
headers=$("$objdump" -p "$exe")
fail=0
check() {
    if printf '%s\n' "$headers" | grep -Eq "$2"; then
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
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports: $(echo $dlls)"
for dll in $dlls; do
    case $dll in
    kernel32.dll|advapi32.dll|user32.dll|msvcrt.dll) ;;
    *) echo "FAILED: imports $dll, not a system DLL"; fail=1 ;;
    esac
done
exit $fail
