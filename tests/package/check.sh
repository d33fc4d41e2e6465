#!/bin/sh
# Usage: check.sh CPACK BINARY_DIR EXE VERSION SOURCE_DIR CMAKE EPOCH SERVER_EXE
# Makes the release zip in a scratch folder of the build tree and checks it:
# exactly the expected files, vizad.exe and the sample server identical to
# the built ones, the papers identical to the checkout's, the changelog opening with VERSION,
# entries in name order dated the release date EPOCH, and SHA256SUMS right
# for the zip, the Windows Installer package and the vizad.exe in them; the
# package holds the same files and its summary is the release's, not the
# build's. Then builds the release again from a copy of the sources in
# another folder, later, and requires the same bytes.
set -eu
cpack=$1
bindir=$2
exe=$3
version=$4
srcdir=$5
cmake=$6
epoch=$7
server=$8
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

. "$(dirname "$0")/lib.sh"
entries=$("$cmake" -E tar tf "$zip" | grep -v '/$' | sort | tr '\n' ' ')
check "entries" "$entries" "CHANGELOG.md LICENSE README.md docs/administrators.md example/bin/revaduzeza.bat example/bin/sample_server.exe vizad.exe "
(cd "$out/unpacked" && "$cmake" -E tar xf "$zip")
same() { cmp -s "$1" "$2" && echo same || echo differs; }
check "vizad.exe is the built one" "$(same "$out/unpacked/vizad.exe" "$exe")" same
check "sample_server.exe is the built one" "$(same "$out/unpacked/example/bin/sample_server.exe" "$server")" same
for f in README.md LICENSE CHANGELOG.md docs/administrators.md; do
    check "$f is the checkout's" "$(same "$out/unpacked/$f" "$srcdir/$f")" same
done
check "example script is the sample installation's" \
    "$(same "$out/unpacked/example/bin/revaduzeza.bat" "$srcdir/demo/installation/bin/revaduzeza.bat")" same
check "first changelog entry" "$(grep -m 1 '^## ' "$out/unpacked/CHANGELOG.md" | cut -d' ' -f2)" "$version"
check "entries in name order" "$("$cmake" -E tar tf "$zip" | tr '\n' ' ')" \
    "$("$cmake" -E tar tf "$zip" | LC_ALL=C sort | tr '\n' ' ')"
check "entries dated the release date" "$(find "$out/unpacked" -mindepth 1 -exec stat -c %Y {} + | sort -u)" "$epoch"
# The Windows Installer package: the zip's files at their places, the
# summary dated the release date, and a package code that is not wixl's
# random one but the one packaging/msi.sh derives from the content.
msi=$out/vizad-$version.msi
check "MSI made" "$([ -f "$msi" ] && echo yes)" yes
mkdir -p "$out/msi"
(cd "$out/msi" && msiextract "$msi" >/dev/null)
pf="$out/msi/Program Files/VIZAD"
check "MSI files" "$(cd "$pf" && find . -type f | sort | tr '\n' ' ')" \
    "./CHANGELOG.md ./LICENSE ./README.md ./docs/administrators.md ./example/bin/revaduzeza.bat ./example/bin/sample_server.exe ./vizad.exe "
check "MSI's vizad.exe is the built one" "$(same "$pf/vizad.exe" "$exe")" same
summary=$(TZ=UTC msiinfo suminfo "$msi")
check "MSI summary times" "$(echo "$summary" | sed -n 's/^\(Created\|Last saved\): //p' | sort -u)" \
    "$(TZ=UTC LC_ALL=C date -u -d "@$epoch" '+%a %b %e %H:%M:%S %Y')"
code=$(echo "$summary" | sed -n 's/^Revision number (UUID): {\(.*\)}$/\1/p')
cp "$msi" "$out/zero.msi"
msibuild "$out/zero.msi" -s "VIZAD $version" VIZAD "Intel;1033" "{00000000-0000-0000-0000-000000000000}"
check "MSI package code from the content" "$code" \
    "$(sha256sum <"$out/zero.msi" | cut -c1-32 | tr a-f A-F | sed 's/^\(.\{8\}\)\(.\{4\}\)\(.\{4\}\)\(.\{4\}\)/\1-\2-\3-\4-/')"

# A release is checked as the README says: vizad.exe taken out beside the zip.
cp "$out/unpacked/vizad.exe" "$out/"
check "SHA256SUMS" "$(cd "$out" && LC_ALL=C sha256sum -c SHA256SUMS 2>&1 | tr '\n' ' ')" \
    "$(basename "$zip"): OK vizad-$version.msi: OK vizad.exe: OK "

# The release once more, as someone else would make it: the sources copied to
# another folder, configured, built and packaged from scratch seconds later.
again=$out/again
mkdir -p "$again"
tar -C "$srcdir" --exclude=./build --exclude=./.git -cf - . | tar -C "$again" -xf -
if ! (cd "$again" && SOURCE_DATE_EPOCH=$epoch "$cmake" --preset i686 -DVIZAD_TESTS=OFF &&
      "$cmake" --build --preset i686 --target vizad sample_server vizad_msi &&
      "$cpack" --config build/i686/CPackConfig.cmake) >"$out/again.log" 2>&1; then
    cat "$out/again.log"
    echo "FAILED: second build"
    exit 1
fi
later=$(stat -c %Y "$again/build/i686/bin/vizad.exe")
check "second build linked at a later second" \
    "$([ "$later" -gt "$(stat -c %Y "$exe")" ] && echo yes || echo no)" yes
check "vizad.exe built again is the same" "$(same "$again/build/i686/bin/vizad.exe" "$exe")" same
check "sample_server.exe built again is the same" \
    "$(same "$again/build/i686/bin/sample_server.exe" "$server")" same
check "zip made again is the same" "$(same "$again/build/i686/$(basename "$zip")" "$zip")" same
check "MSI made again is the same" "$(same "$again/build/i686/$(basename "$msi")" "$msi")" same
check "SHA256SUMS made again are the same" "$(same "$again/build/i686/SHA256SUMS" "$out/SHA256SUMS")" same
exit $fail
