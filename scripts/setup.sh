#!/bin/sh
# Installs what building and testing VIZAD needs on Debian 12, as root.
# Does nothing when everything is already there.
set -eu

need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

for p in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
         wine wine64 wine32:i386 cmake ninja-build googletest cppcheck clang-tidy \
         strip-nondeterminism; do
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
apt-get update -q
apt-get install -y -q --no-install-recommends $need
