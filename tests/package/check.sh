#!/bin/sh
# Usage: check.sh CPACK BINARY_DIR EXE VERSION SOURCE_DIR
# Makes the release zip in a scratch folder of the build tree and checks it:
# exactly the expected files, vizad.exe identical to the built one, the
# papers identical to the checkout's, and the changelog opening with VERSION.
set -eu
cpack=$1
bindir=$2
exe=$3
version=$4
srcdir=$5
out=$bindir/package-test
rm -rf "$out"
mkdir -p "$out/unpacked"
if ! "$cpack" --config "$bindir/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    echo "FAILED: cpack"
    exit 1
fi
zip=$out/vizad-$version-win32.zip
[ -f "$zip" ] || { echo "FAILED: no $(basename "$zip")"; ls "$out"; exit 1; }

fail=0
check() {
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        printf 'FAILED: %s\n  expected: %s\n  got:      %s\n' "$1" "$3" "$2"
        fail=1
    fi
}
entries=$(cmake -E tar tf "$zip" | grep -v '/$' | sort | tr '\n' ' ')
check "entries" "$entries" "CHANGELOG.md LICENSE README.md example/bin/revaduzeza.bat vizad.exe "
(cd "$out/unpacked" && cmake -E tar xf "$zip")
same() { cmp -s "$1" "$2" && echo same || echo differs; }
check "vizad.exe is the built one" "$(same "$out/unpacked/vizad.exe" "$exe")" same
for f in README.md LICENSE CHANGELOG.md; do
    check "$f is the checkout's" "$(same "$out/unpacked/$f" "$srcdir/$f")" same
done
check "example script is the sample installation's" \
    "$(same "$out/unpacked/example/bin/revaduzeza.bat" "$srcdir/demo/installation/bin/revaduzeza.bat")" same
check "first changelog entry" "$(grep -m 1 '^## ' "$out/unpacked/CHANGELOG.md" | cut -d' ' -f2)" "$version"
exit $fail
