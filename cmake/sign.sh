#!/bin/sh
# Usage: sign.sh SUMS FILE...
# Signs each FILE (a PE program or an MSI package) in place with the
# publisher's certificate, SHA-256, the product's name and the project's URL,
# and writes each FILE's unsigned SHA-256 to SUMS as "HASH  NAME" (sha256sum's
# form; a line for the same NAME is replaced, others are kept), so that anyone
# can strip the signature and compare the bytes with a build of their own.
#
# The certificate comes from the environment, never from a command line:
#   VIZAD_SIGN_PKCS12          a PKCS#12 file with the key and certificate,
#   VIZAD_SIGN_PASSWORD_FILE   a file whose first line is its password;
# or
#   VIZAD_SIGN_PKCS11_URI      the key on a token (pkcs11:...), without its PIN,
#   VIZAD_SIGN_CERTS           its certificate (and chain), PEM,
#   VIZAD_SIGN_PASSWORD_FILE   optional: a file holding the token's PIN,
#   VIZAD_SIGN_PKCS11_MODULE   optional: the token's module (default p11-kit's proxy);
# and VIZAD_SIGN_URL, the project's web address that the signature carries;
# optionally VIZAD_SIGN_TIMESTAMP_URL, a time-stamping server.
#
# Exit status: 0 all signed; 1 refused or failed, every FILE and SUMS left as
# they were; 2 bad usage or no certificate given; 130 or 143 when an
# interrupt came while the signed files were being put in place, which
# finishes first: every FILE signed and SUMS written. Nothing is signed
# unless every FILE can be: the signed copies replace the files only at the
# end, and SUMS is written after the last of them.
set -eu

NAME=VIZAD

say() { printf 'sign: %s\n' "$*" >&2; }
refuse() { say "$*"; exit 1; }

[ $# -ge 2 ] || { say "usage: sign.sh SUMS FILE..."; exit 2; }
sums=$1
shift

work=$(mktemp -d "${TMPDIR:-/tmp}/vizad-sign.XXXXXX")
# Signed copies sit beside their files as FILE.signing until all are made,
# and the new sums as SUMS.signing-sums.
cleanup() {
    rm -rf "$work"
    for f in "$@"; do rm -f "$f.signing"; done
    rm -f "$sums.signing-sums"
}
trap 'cleanup "$@"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The signer's certificate goes to $work/cert.pem, and osslsigncode's
# arguments for the key to $work/args, one a line (paths may hold blanks).
pkcs12=${VIZAD_SIGN_PKCS12:-}
uri=${VIZAD_SIGN_PKCS11_URI:-}
passfile=${VIZAD_SIGN_PASSWORD_FILE:-}
if [ -n "$pkcs12" ] && [ -n "$uri" ]; then
    say "both VIZAD_SIGN_PKCS12 and VIZAD_SIGN_PKCS11_URI are set: give one"
    exit 2
fi
readable() { [ -f "$2" ] && [ -r "$2" ] || refuse "$1 $2: no such readable file"; }
if [ -n "$pkcs12" ]; then
    readable "the PKCS#12 file" "$pkcs12"
    [ -n "$passfile" ] || refuse "VIZAD_SIGN_PASSWORD_FILE is not set: the PKCS#12 file's password is read from a file"
    readable "the password file" "$passfile"
    # The password goes to openssl as a file name, never as a word that ps shows.
    # OpenSSL 3 opens older files (RC2, 3DES) only with its legacy provider.
    if ! openssl pkcs12 -in "$pkcs12" -passin "file:$passfile" -nokeys -clcerts \
            -out "$work/cert.pem" 2>"$work/openssl.log" &&
       ! openssl pkcs12 -legacy -in "$pkcs12" -passin "file:$passfile" -nokeys -clcerts \
            -out "$work/cert.pem" 2>>"$work/openssl.log"; then
        refuse "cannot open $pkcs12 with the password in $passfile (a wrong password, or not a PKCS#12 file)"
    fi
    printf '%s\n' -pkcs12 "$pkcs12" -readpass "$passfile" >"$work/args"
elif [ -n "$uri" ]; then
    # osslsigncode gets the URI as an argument, which ps shows to every user.
    # The message does not repeat the URI: it holds the PIN.
    case $(printf '%s' "$uri" | tr 'A-Z' 'a-z') in
    *pin-value=*) refuse "VIZAD_SIGN_PKCS11_URI holds the token's PIN (pin-value), which the process list would show: put the PIN in a file named by VIZAD_SIGN_PASSWORD_FILE" ;;
    esac
    certs=${VIZAD_SIGN_CERTS:-}
    [ -n "$certs" ] || refuse "VIZAD_SIGN_CERTS is not set: the token's certificate is checked before signing"
    readable "the certificate file" "$certs"
    openssl x509 -in "$certs" -out "$work/cert.pem" 2>"$work/openssl.log" ||
        refuse "$certs holds no PEM certificate"
    module=${VIZAD_SIGN_PKCS11_MODULE:-/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so}
    readable "the PKCS#11 module" "$module"
    printf '%s\n' -pkcs11module "$module" -certs "$certs" -key "$uri" >"$work/args"
    if [ -n "$passfile" ]; then
        readable "the PIN file" "$passfile"
        printf '%s\n' -readpass "$passfile" >>"$work/args"
    fi
else
    say "no certificate given (VIZAD_SIGN_PKCS12 or VIZAD_SIGN_PKCS11_URI): nothing signed"
    exit 2
fi

url=${VIZAD_SIGN_URL:-}
[ -n "$url" ] || refuse "VIZAD_SIGN_URL is not set: the signature carries the project's web address"

# osslsigncode signs with any certificate it can read: the dates and the
# code-signing use are checked here, so that Windows would accept the result.
subject=$(openssl x509 -in "$work/cert.pem" -noout -subject)
openssl x509 -in "$work/cert.pem" -noout -checkend 0 >/dev/null ||
    refuse "the certificate has expired ($(openssl x509 -in "$work/cert.pem" -noout -enddate)): $subject"
from=$(openssl x509 -in "$work/cert.pem" -noout -startdate | sed 's/^notBefore=//')
[ "$(date -u -d "$from" +%s)" -le "$(date -u +%s)" ] ||
    refuse "the certificate is not valid yet (notBefore=$from): $subject"
openssl x509 -in "$work/cert.pem" -noout -ext extendedKeyUsage 2>/dev/null |
    grep -q 'Code Signing' ||
    refuse "the certificate is not for code signing (no Code Signing extended key usage): $subject"

# The first bytes: "MZ" for a program, the compound file's for an MSI.
kind() { od -An -tx1 -N8 "$1" | tr -d ' \n'; }
for f in "$@"; do
    readable "the file to sign" "$f"
    case $(kind "$f") in
    4d5a*) ;;
    d0cf11e0a1b11ae1) ;;
    *) refuse "$f is neither a Windows program nor an MSI package" ;;
    esac
    # A signature over a signature would leave the recorded hash meaningless.
    if osslsigncode extract-signature -in "$f" -out "$work/old.sig" >/dev/null 2>&1; then
        refuse "$f is already signed"
    fi
done

stamp=${VIZAD_SIGN_TIMESTAMP_URL:-}
for f in "$@"; do
    # One argument a line, read back into the positional list of a subshell.
    if ! (set --
          while IFS= read -r a; do set -- "$@" "$a"; done <"$work/args"
          [ -z "$stamp" ] || set -- "$@" -ts "$stamp"
          osslsigncode sign "$@" -h sha256 -n "$NAME" -i "$url" -in "$f" -out "$f.signing") \
          >"$work/osslsigncode.log" 2>&1; then
        cat "$work/osslsigncode.log" >&2
        refuse "osslsigncode could not sign $f"
    fi
    # What the release promises for a program: the signature comes off and
    # leaves the very bytes that were signed. (An MSI's container is written
    # anew when its signature stream is removed, so its bytes differ.)
    case $(kind "$f") in 4d5a*) ;; *) continue ;; esac
    osslsigncode remove-signature -in "$f.signing" -out "$work/stripped" >/dev/null 2>&1 &&
        cmp -s "$work/stripped" "$f" ||
        refuse "$f: removing the new signature does not give back the unsigned bytes"
    rm -f "$work/stripped"
done

# All signed: the new sums are made beside SUMS, the signed files put in
# place, and SUMS replaced last. An interrupt waits until that is done, and
# a rename that fails puts back the files already replaced, SUMS untouched.
[ ! -f "$sums" ] || cp "$sums" "$work/sums"
: >>"$work/sums"
for f in "$@"; do
    name=$(basename "$f")
    hash=$(sha256sum <"$f" | cut -d' ' -f1)
    awk -v n="$name" '{ l = $0; sub(/^[0-9a-f]+  \*?/, "", l) } l != n' "$work/sums" >"$work/sums.new"
    printf '%s  %s\n' "$hash" "$name" >>"$work/sums.new"
    mv "$work/sums.new" "$work/sums"
done
cp "$work/sums" "$sums.signing-sums"

# From here an interrupt is noted and acted on once the signed files and
# SUMS are all in place; each rename runs with interrupts ignored, so that
# none is ended half done.
held=
trap 'held=130' INT
trap 'held=143' TERM
# Each unsigned file stays reachable as FILE.before-signing until the end:
# a second link to it, or a copy where links cannot be made.
keep=no
trap 'for f in "$@"; do [ "$keep" = yes ] || rm -f "$f.before-signing"; done; cleanup "$@"' EXIT
for f in "$@"; do
    ln -f "$f" "$f.before-signing" 2>/dev/null || cp -p "$f" "$f.before-signing" ||
        refuse "cannot keep the unsigned $f while the signed one replaces it: nothing signed"
done
# put_back N FILE...: the first N files get their unsigned bytes back.
put_back() {
    k=$1
    shift
    for f in "$@"; do
        [ "$k" -gt 0 ] || break
        k=$((k - 1))
        mv -f "$f.before-signing" "$f" ||
            { keep=yes; say "$f stays signed: its unsigned bytes are in $f.before-signing"; }
    done
}
placed=0
for f in "$@"; do
    if ! (trap '' INT TERM; mv -f "$f.signing" "$f"); then
        put_back "$placed" "$@"
        refuse "cannot put the signed $f in place: the files are unsigned again, $sums unchanged"
    fi
    placed=$((placed + 1))
done
if ! (trap '' INT TERM; mv -f "$sums.signing-sums" "$sums"); then
    put_back "$placed" "$@"
    refuse "cannot write $sums: the files are unsigned again"
fi
for f in "$@"; do say "signed $f ($subject)"; done
[ -z "$held" ] || { say "interrupted: the files were signed and $sums written first"; exit "$held"; }
