#!/bin/sh
# Installs what is missing, checks the sources, builds VIZAD for i686 (the
# product) and x86_64 (kept 64-bit clean, tests included), and runs every
# test under Wine with ctest: this machine's lane, then on Debian 12 the same
# command in a Debian 13 root under Wine 10 (scripts/debian13.sh), unless
# VIZAD_LANES=local leaves it out (CI=true never does). It passes only when
# every lane passes.
# Extra arguments go to the i686 ctest run, e.g. scripts/test.sh -R ConsoleRun
set -eu
cd "$(dirname "$0")/.."
. scripts/lanes.sh

./scripts/setup.sh

status=0
./scripts/lint.sh &&
    cmake --preset i686 >/dev/null &&
    cmake --build --preset i686 &&
    cmake --preset x86_64 >/dev/null &&
    cmake --build --preset x86_64 &&
    ctest --preset x86_64 -R pe_headers &&
    ctest --preset i686 "$@" || status=$?
lane=$(local_lane)
verdict() { if [ "$1" = 0 ]; then echo passed; else echo "FAILED (status $1)"; fi; }
if ! wine10_lane; then
    echo
    echo "test: $lane: $(verdict "$status")"
    [ "$release" != "debian 12" ] || echo "test: Wine 10 lane left out (VIZAD_LANES=local)"
    exit "$status"
fi
echo
echo "test: $lane: $(verdict "$status"); now the Wine 10 lane, in the Debian 13 root"
status10=0
./scripts/debian13.sh scripts/test.sh "$@" || status10=$?
echo
echo "test: $lane: $(verdict "$status")"
echo "test: Wine 10 lane (Debian 13 root): $(verdict "$status10")"
[ "$status" = 0 ] && [ "$status10" = 0 ]
