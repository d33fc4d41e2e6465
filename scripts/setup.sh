#!/bin/sh
# Installs what building, testing, the demo and the benchmarks need, as root,
# from the release's own packages: Debian 12 (Wine 8) or Debian 13 (Wine 10).
# On Debian 12 it adds mmdebstrap, which makes the Debian 13 root of the
# Wine 10 lane, and mount, which binds what the root needs, unless that lane
# is left out (see scripts/lanes.sh).
# Does nothing when everything is already there.
#   scripts/setup.sh [debian13]   debian13: those two whatever the switch says
#   scripts/setup.sh --list       the packages, comma-separated, for that root
set -eu
cd "$(dirname "$0")/.."
. scripts/lanes.sh

# The same names on both releases. procps (pkill) and mawk are on a usual
# machine but not in a least root. msitools and wixl build and read the
# Windows Installer package (faketime gives wixl the release date as its
# clock); osslsigncode and openssl sign a release and make the tests'
# throw-away certificates.
packages="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
    wine wine64 wine32:i386 cmake ninja-build googletest cppcheck clang-tidy procps mawk
    strip-nondeterminism msitools wixl faketime osslsigncode openssl"

if [ "${1:-}" = --list ]; then
    echo $packages | tr ' ' ,
    exit 0
fi

case $release in
"debian 12"|"debian 13") ;;
*) echo "setup: this is '$release'; the scripts know Debian 12 and 13" >&2 ;;
esac
if [ "$release" = "debian 12" ] && { [ "${1:-}" = debian13 ] || wine10_lane; }; then
    packages="$packages mmdebstrap mount"
fi

need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in $packages; do
    have_pkg "$p" || need="$need $p"
done

[ -z "$need" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages:$need (run as root to install them)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
# A mirror in sync serves an index of the wrong size for a while ("Mirror
# sync in progress?"): the update is tried again, and if an index still
# fails the install is tried with the lists as they are, as it may not need
# that index. Only a failed install stops the set-up.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for wait in $fetch_waits; do
    status=0
    apt-get update -q >"$log" 2>&1 || status=$?
    cat "$log"
    [ "$status" != 0 ] || break
    [ "$wait" != - ] || break
    echo "setup: apt-get update failed (status $status); trying again in $wait s" >&2
    sleep "$wait"
done
if [ "$status" != 0 ]; then
    echo "setup: these indexes still fail; installing with the package lists as they are:" >&2
    grep -E '^(E|W): Failed to fetch' "$log" | sed 's/^/    /' >&2 || true
fi
if ! apt-get install -y -q --no-install-recommends $need; then
    echo "setup: installing$need failed. When the lines above say a mirror is in sync" \
        "or an index failed, run this again in a few minutes; otherwise mend what they" \
        "name (the sources in /etc/apt), or install those packages yourself." >&2
    exit 1
fi
