#!/bin/sh
# Usage: check.sh CPACK BINARY_DIR EXE VERSION SOURCE_DIR CMAKE EPOCH SERVER_EXE
# Makes the release zip in a scratch folder of the build tree and checks it:
# exactly the expected files, vizad.exe and the sample server identical to
# the built ones, the papers identical to the checkout's, the changelog
# opening with VERSION (after "Unreleased", if any), entries in name order
# dated the release date EPOCH, and SHA256SUMS right
# for the zip, the Windows Installer package and the vizad.exe in them; the
# package holds the same files and its summary is the release's, not the
# build's. Then builds the release again from a copy of the sources in
# another folder, later, and requires the same bytes.
# Last, signs a release with a throw-away certificate (package-test/signed):
# the signatures verify against the throw-away CA, come off to leave the
# rebuilt bytes, and every bad certificate is refused with nothing changed.
# The signed zip is the one the guide's trial then runs under Wine. The
# second build's tree goes when every check passed.
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
check "unsigned: says so in one line" \
    "$(grep -c '^-- Unsigned release: no certificate given' "$out/cpack.log")" 1
check "unsigned: no unsigned sums written" "$([ -e "$out/SHA256SUMS.unsigned" ] || echo none)" none
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
# Between releases the changes made since gather under "Unreleased", first.
check "first changelog entry" \
    "$(grep '^## ' "$out/unpacked/CHANGELOG.md" | cut -d' ' -f2 | sed '1{/^Unreleased$/d}' | head -1)" "$version"
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
# What Wine's msiexec does not tell apart: REINSTALL set before the costing
# decides what each component does, and the actions that change the service
# run in the script (1024) as LocalSystem (2048), or at rollback (256).
# field TABLE KEY COLUMN [KEY'S COLUMN]: the column of the rows whose key is KEY.
field() { msiinfo export "$msi" "$1" | tr -d '\r' | awk -F'\t' -v a="$2" -v f="$3" -v k="${4:-1}" '$k == a { print $f }'; }
check "MSI: a re-run's REINSTALL set before CostFinalize" \
    "$([ "$(field InstallExecuteSequence ApplySettings 3)" -lt "$(field InstallExecuteSequence CostFinalize 3)" ] &&
        echo yes)" yes
for row in ConfigureService:3072 RestoreService:3072 WaitForServiceEnd:3072 DeleteServiceForGood:3072 \
    StopStartedService:3328 StartAgainAfterFailure:3328 DeleteNewService:3328 UndoUpgradeMark:3328; do
    type=$(field CustomAction "${row%:*}" 2)
    check "MSI: ${row%:*} as LocalSystem, in the script" "$((${type:-0} & ${row#*:}))" "${row#*:}"
done
# TABLE|KEY|KEY'S COLUMN|COLUMN|value: the example's root rights of its own
# (administrators and SYSTEM); maintenance the administrator's; the releases
# whose settings are carried (1.2 and 1.3) and the one whose timeout is not
# (1.2); the roots' components weighed again at a re-run (transitive, 64);
# the mark cleared at rollback (before it is set) and at a failure.
while IFS='|' read -r table key at column want; do
    check "MSI: $table $key, column $column" "$(field "$table" "$key" "$column" "$at" | tr '\n' ' ')" "$want "
done <<ROWS
MsiLockPermissionsEx|ExampleFolder|2|4|D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)
MsiLockPermissionsEx|ExampleLogs|2|4|D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)
MsiLockPermissionsEx|revaduzeza.bat|2|4|D:PAI(A;;FA;;;SY)(A;;FA;;;BA)
LaunchCondition|AdminUser|1|2|VIZAD is installed, changed, repaired and removed only by an administrator: run msiexec from an elevated prompt
Property|MSIUSEREALADMINDETECTION|1|2|1
Upgrade|VIZADRELEASED|7|2|1.2.0
Upgrade|VIZADRELEASED|7|3|1.4.0
Upgrade|VIZADRELEASED12|7|2|1.2.0
Upgrade|VIZADRELEASED12|7|3|1.3.0
Component|Root|1|4|68
Component|ExampleRoot|1|4|68
InstallExecuteSequence|UndoUpgradeMark|1|3|1504
InstallExecuteSequence|MarkUpgrade|1|3|1507
InstallExecuteSequence|ClearUpgradeMarkAtFailure|1|3|-3
ROWS
check "MSI: the upgrade's properties are secure" \
    "$(field Property SecureCustomProperties 2 | tr ';' '\n' | grep -cx 'VIZADRELEASED\|VIZADRELEASED12')" 2

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

# The release signed. A throw-away CA (and another, trusted by no one here)
# issues one key four certificates: good,
# expired, not valid yet, and one for servers rather than code.
signed=$out/signed
pki=$signed/pki
mkdir -p "$pki"
ossl() { openssl "$@" >>"$pki/openssl.log" 2>&1 || { cat "$pki/openssl.log"; echo "FAILED: openssl $1"; exit 1; }; }
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$pki/ca.key" \
    -out "$pki/ca.pem" -days 3 -subj "/CN=VIZAD throw-away CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$pki/other-ca.key" \
    -out "$pki/other-ca.pem" -days 3 -subj "/CN=VIZAD other CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
ossl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$pki/signer.key" \
    -out "$pki/signer.csr" -subj "/CN=VIZAD throw-away signer"
printf '[ca]\ndefault_ca=t\n[t]\ndatabase=%s/index\nserial=%s/serial\nnew_certs_dir=%s\n' \
    "$pki" "$pki" "$pki" >"$pki/ca.cnf"
printf 'default_md=sha256\npolicy=p\nunique_subject=no\n[p]\ncommonName=supplied\n' >>"$pki/ca.cnf"
: >"$pki/index"
echo 01 >"$pki/serial"
printf 'the password\n' >"$pki/password"
printf 'not the password\n' >"$pki/wrong-password"
day() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
# issue NAME USE FROM UNTIL: NAME.p12, under the password in $pki/password.
issue() {
    printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" >"$pki/$1.ext"
    ossl ca -batch -config "$pki/ca.cnf" -cert "$pki/ca.pem" -keyfile "$pki/ca.key" -notext \
        -in "$pki/signer.csr" -out "$pki/$1.pem" -extfile "$pki/$1.ext" -startdate "$3" -enddate "$4"
    ossl pkcs12 -export -inkey "$pki/signer.key" -in "$pki/$1.pem" -certfile "$pki/ca.pem" \
        -passout "file:$pki/password" -out "$pki/$1.p12"
}
issue good codeSigning "$(day '-1 day')" "$(day '+1 day')"
issue expired codeSigning 20200101000000Z 20200102000000Z
issue early codeSigning "$(day '+1 day')" "$(day '+2 days')"
issue server serverAuth "$(day '-1 day')" "$(day '+1 day')"
url=https://vizad.example/
export VIZAD_SIGN_URL=$url

# package PKCS12 PASSWORD_FILE [FOLDER]: the package command's cpack, given
# a certificate, making the release in FOLDER (default $signed).
package() {
    (cd "$bindir" && VIZAD_SIGN_PKCS12=$1 VIZAD_SIGN_PASSWORD_FILE=$2 \
        "$cpack" --config "$bindir/CPackConfig.cmake" -B "${3:-$signed}" ${4:+"$4" "$5"})
}
if ! package "$pki/good.p12" "$pki/password" >"$signed/cpack.log" 2>&1; then
    cat "$signed/cpack.log"
    echo "FAILED: signed cpack"
    exit 1
fi
szip=$signed/$(basename "$zip")
mkdir -p "$signed/unpacked"
(cd "$signed/unpacked" && "$cmake" -E tar xf "$szip")
cp "$signed/unpacked/vizad.exe" "$signed/unpacked/example/bin/sample_server.exe" "$signed/"
mkdir -p "$signed/stripped"
check "signed: the same entries" "$("$cmake" -E tar tf "$szip" | tr '\n' ' ')" "$("$cmake" -E tar tf "$zip" | tr '\n' ' ')"
check "signed: SHA256SUMS" "$(cd "$signed" && LC_ALL=C sha256sum -c SHA256SUMS 2>&1 | tr '\n' ' ')" \
    "$(basename "$zip"): OK vizad-$version.msi: OK vizad.exe: OK "
for p in vizad.exe sample_server.exe; do
    osslsigncode verify -CAfile "$pki/ca.pem" -in "$signed/$p" >"$signed/$p.verify" 2>&1 || :
    check "signed: $p verifies against the throw-away CA" "$(grep -cx 'Succeeded' "$signed/$p.verify")" 1
    check "signed: $p SHA-256, name and URL" \
        "$(grep -c -e '^Message digest algorithm  *: SHA256' -e 'Text description: VIZAD$' \
            -e "URL description: $url\$" "$signed/$p.verify")" 3
    check "signed: $p fails against another CA" \
        "$(osslsigncode verify -CAfile "$pki/other-ca.pem" -in "$signed/$p" >/dev/null 2>&1 || echo fails)" fails
    osslsigncode remove-signature -in "$signed/$p" -out "$signed/stripped/$p" >/dev/null 2>&1 || :
done
# The rebuild check on the stripped bytes: the copy built elsewhere, and the
# unsigned sums shipped beside the zip.
check "stripped: vizad.exe is the one built again" "$(same "$signed/stripped/vizad.exe" "$again/build/i686/bin/vizad.exe")" same
check "stripped: sample_server.exe is the one built again" \
    "$(same "$signed/stripped/sample_server.exe" "$again/build/i686/bin/sample_server.exe")" same
check "stripped: SHA256SUMS.unsigned" \
    "$(cd "$signed/stripped" && grep -v '\.msi$' "$signed/SHA256SUMS.unsigned" | LC_ALL=C sha256sum -c 2>&1 | tr '\n' ' ')" \
    "vizad.exe: OK sample_server.exe: OK "
check "stripped: vizad.exe as in the rebuilt SHA256SUMS" \
    "$(cd "$signed/stripped" && grep ' vizad\.exe$' "$again/build/i686/SHA256SUMS" | LC_ALL=C sha256sum -c 2>&1)" "vizad.exe: OK"

# The package, signed after it is built, holds the signed programs; its
# unsigned hash is recorded with theirs.
smsi=$signed/vizad-$version.msi
check "signed msi: verifies against the throw-away CA, SHA-256, name and URL" \
    "$(osslsigncode verify -CAfile "$pki/ca.pem" -in "$smsi" 2>&1 |
        grep -c -e '^Succeeded$' -e '^Message digest algorithm  *: SHA256' -e 'Text description: VIZAD$' \
            -e "URL description: $url\$")" 4
mkdir -p "$signed/msi"
(cd "$signed/msi" && msiextract "$smsi" >/dev/null)
check "signed msi: its vizad.exe is the signed one" \
    "$(same "$signed/msi/Program Files/VIZAD/vizad.exe" "$signed/vizad.exe")" same
check "signed msi: unsigned SHA-256 recorded" "$(grep -c " vizad-$version\.msi\$" "$signed/SHA256SUMS.unsigned")" 1

# Refusals: each leaves the files as they were, no half-signed file beside
# them and no sums, and never shows the token's PIN.
# NAME|PKCS12 or PKCS#11 URI|PASSWORD_FILE|what the message says
refused=$signed/refused
pin=7431986
while IFS='|' read -r name key pass says; do
    rm -rf "$refused"
    mkdir -p "$refused"
    cp "$exe" "$refused/vizad.exe"
    cp "$out/vizad-$version.msi" "$refused/test.msi"
    case $key in pkcs11:*) p12= uri=$key ;; *) p12=$key uri= ;; esac
    status=0
    VIZAD_SIGN_PKCS12=$p12 VIZAD_SIGN_PASSWORD_FILE=$pass VIZAD_SIGN_PKCS11_URI=$uri \
    VIZAD_SIGN_CERTS=$pki/good.pem VIZAD_SIGN_PKCS11_MODULE=$pki/ca.pem \
        sh "$srcdir/cmake/sign.sh" "$refused/sums" "$refused/vizad.exe" "$refused/test.msi" \
        >"$refused/log" 2>&1 || status=$?
    check "refused, $name: status, message, no PIN shown" \
        "$status $(grep -c -F -- "$says" "$refused/log") $(grep -c -F "$pin" "$refused/log")" "1 1 0"
    check "refused, $name: files untouched, nothing left" \
        "$(same "$refused/vizad.exe" "$exe") $(same "$refused/test.msi" "$out/vizad-$version.msi") $(ls "$refused" | tr '\n' ' ')" \
        "same same log test.msi vizad.exe "
done <<ROWS
PIN in the token's URI|pkcs11:token=t;object=k;type=private;pin-value=$pin|$pki/password|VIZAD_SIGN_PKCS11_URI holds the token's PIN (pin-value)
PIN in the token's URI, upper case|pkcs11:token=t;object=k;PIN-VALUE=$pin|$pki/password|VIZAD_SIGN_PKCS11_URI holds the token's PIN (pin-value)
wrong password|$pki/good.p12|$pki/wrong-password|cannot open $pki/good.p12 with the password in $pki/wrong-password
missing PKCS#12 file|$pki/none.p12|$pki/password|the PKCS#12 file $pki/none.p12: no such readable file
missing password file|$pki/good.p12|$pki/none|the password file $pki/none: no such readable file
expired certificate|$pki/expired.p12|$pki/password|the certificate has expired (notAfter=Jan  2 00:00:00 2020 GMT)
certificate not valid yet|$pki/early.p12|$pki/password|the certificate is not valid yet
not for code signing|$pki/server.p12|$pki/password|the certificate is not for code signing
ROWS
# A bad file after a good one: none of them is signed. FILE|what the message says
while IFS='|' read -r bad says; do
    rm -rf "$refused" && mkdir -p "$refused" && cp "$exe" "$refused/vizad.exe"
    case $bad in
    LICENSE) cp "$srcdir/LICENSE" "$refused/" ;;
    cut.exe) head -c 1024 "$exe" >"$refused/$bad" ;;   # signed, but its signature would not come off cleanly
    *) { printf MZ; head -c 1022 /dev/zero; } >"$refused/$bad" ;;   # no PE header: osslsigncode fails
    esac
    status=0
    VIZAD_SIGN_PKCS12=$pki/good.p12 VIZAD_SIGN_PASSWORD_FILE=$pki/password \
        sh "$srcdir/cmake/sign.sh" "$refused/sums" "$refused/vizad.exe" "$refused/$bad" >"$refused/log" 2>&1 || status=$?
    check "refused, $bad after vizad.exe: nothing signed" \
        "$status $(grep -c -F "$says" "$refused/log") $(same "$refused/vizad.exe" "$exe") $(ls "$refused" | tr '\n' ' ')" \
        "1 1 same $(printf '%s\n' "$bad" log vizad.exe | LC_ALL=C sort | tr '\n' ' ')"
done <<ROWS
LICENSE|$refused/LICENSE is neither a Windows program nor an MSI package
broken.exe|osslsigncode could not sign $refused/broken.exe
cut.exe|$refused/cut.exe: removing the new signature does not give back the unsigned bytes
ROWS
# The commit is all or nothing. A stand-in for mv, first in PATH, fails or
# interrupts sign.sh (the outermost one: its renames run in subshells) as
# it puts FILE's signed copy in place: a failed rename puts back the files
# already replaced and writes no sums; an interrupt waits until every file
# is signed and the sums are written.
fakes=$signed/fakes
mkdir -p "$fakes/mv" "$fakes/osslsigncode"
cat >"$fakes/mv/mv" <<FAKE
#!/bin/sh
case "\$*" in
*"/\$FAULT_AT.signing "*)
    case \$FAULT in
    fail) exit 1 ;;
    interrupt)
        p=\$PPID top=
        while [ "\$p" -gt 1 ]; do
            tr '\\0' ' ' </proc/\$p/cmdline | grep -q 'sign\\.sh' && top=\$p
            p=\$(cut -d' ' -f4 /proc/\$p/stat)
        done
        kill -INT \$top ;;
    esac ;;
esac
exec $(command -v mv) "\$@"
FAKE
chmod +x "$fakes/mv/mv"
# state FILE UNSIGNED: unsigned (the bytes of UNSIGNED), signed, or changed.
state() {
    if cmp -s "$1" "$2"; then echo unsigned
    elif osslsigncode verify -CAfile "$pki/ca.pem" -in "$1" >/dev/null 2>&1; then echo signed
    else echo changed; fi
}
both_sums="$(sha256sum <"$exe" | cut -d' ' -f1)  vizad.exe $(sha256sum <"$out/vizad-$version.msi" | cut -d' ' -f1)  test.msi "
# FAULT|FILE|status|vizad.exe test.msi|sums|what is left
while IFS='|' read -r fault at want states sums files; do
    rm -rf "$refused" && mkdir -p "$refused"
    cp "$exe" "$refused/vizad.exe"
    cp "$out/vizad-$version.msi" "$refused/test.msi"
    status=0
    PATH=$fakes/mv:$PATH FAULT=$fault FAULT_AT=$at \
    VIZAD_SIGN_PKCS12=$pki/good.p12 VIZAD_SIGN_PASSWORD_FILE=$pki/password \
        sh "$srcdir/cmake/sign.sh" "$refused/sums" "$refused/vizad.exe" "$refused/test.msi" \
        >"$refused/log" 2>&1 || status=$?
    check "commit, $fault at $at: status, files, sums, what is left" \
        "$status $(state "$refused/vizad.exe" "$exe") $(state "$refused/test.msi" "$out/vizad-$version.msi") | $(cat "$refused/sums" 2>/dev/null | tr '\n' ' ') | $(echo $(ls "$refused"))" \
        "$want $states | $sums | $files"
done <<ROWS
fail|test.msi|1|unsigned unsigned||log test.msi vizad.exe
interrupt|vizad.exe|130|signed signed|$both_sums|log sums test.msi vizad.exe
ROWS

# Through the package command: a refused certificate, and a package that
# cannot be signed after its programs were, make no release and take away
# the one that an earlier run left in the folder (copied there from
# $signed): no zip, package or sums of either run, and no program or
# package anywhere below (cpack's staging, a zip of its own there) is left.
# A stand-in osslsigncode signs no MSI.
cat >"$fakes/osslsigncode/osslsigncode" <<FAKE
#!/bin/sh
case " \$* " in
*" sign "*.msi" "*) echo "osslsigncode: this token signs no packages" >&2; exit 1 ;;
esac
exec $(command -v osslsigncode) "\$@"
FAKE
chmod +x "$fakes/osslsigncode/osslsigncode"
left=$out/refused-release
# A signed release's changelog: "Unreleased" beside the version, or no date.
printf '## Unreleased\n## %s (2026-12-08)\n' "$version" >"$fakes/unreleased.md"
printf '## %s\n## 1.2.0 (2026-12-08)\n' "$version" >"$fakes/undated.md"
printf '## %s (TBD)\n' "$version" >"$fakes/tbd.md"
printf '#!/bin/sh\nexit 1\n' >"$fakes/wixl" && chmod +x "$fakes/wixl"
# NAME|PKCS12|first in PATH|changelog checked
while IFS='|' read -r name p12 first log; do
    rm -rf "$left" && mkdir -p "$left"
    cp "$szip" "$smsi" "$signed/SHA256SUMS" "$signed/SHA256SUMS.unsigned" "$left/"
    status=0
    (PATH=$first:$PATH && package "$p12" "$pki/password" "$left" ${log:+-D CPACK_VIZAD_CHANGELOG=$log}) \
        >"$left.log" 2>&1 || status=$?
    check "refused package, $name: fails, nothing of a release left" \
        "$([ "$status" != 0 ] && echo fails) $(cd "$left" && {
            ls | grep -e '\.zip$' -e '\.msi$' -e '^SHA256SUMS' || :   # set -e would end the list here
            find . -type f \( -name '*.exe' -o -name '*.msi' \)
            find . -type f -name '*.zip' | while IFS= read -r z; do
                "$cmake" -E tar tf "$z" | sed -n "s|\.exe\$|.exe in $z|p"
            done; } | LC_ALL=C sort | tr '\n' ' ')" "fails "
done <<ROWS
expired certificate|$pki/expired.p12|$fakes/none|
package not signed|$pki/good.p12|$fakes/osslsigncode|
package not built|$pki/good.p12|$fakes|
"Unreleased" in the changelog|$pki/good.p12|$fakes/none|$fakes/unreleased.md
no dated section for the version|$pki/good.p12|$fakes/none|$fakes/undated.md
a date that is no date|$pki/good.p12|$fakes/none|$fakes/tbd.md
ROWS
[ "$fail" != 0 ] || rm -rf "$again"
exit $fail
