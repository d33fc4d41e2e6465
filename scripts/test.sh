#!/bin/sh
# Installs what is missing, checks the sources, builds VIZAD for i686 (the
# product) and x86_64 (kept 64-bit clean, tests included), and runs every
# test under Wine with ctest: this machine's lane, then on Debian 12 the same
# command in a Debian 13 root under Wine 10 (scripts/debian13.sh), unless
# VIZAD_LANES=local leaves it out (CI=true never does). It passes only when
# every lane passes. On a machine whose kernel runs no 32-bit programs, a
# lane runs the x86_64 build's cases instead, and says which it left out.
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
    cmake --build --preset x86_64 || status=$?
lane=$(local_lane)
if [ "$status" != 0 ]; then
    :
elif runs_32bit; then
    { ctest --preset x86_64 -R pe_headers && ctest --preset i686 "$@"; } || status=$?
else
    # The product is built and its headers, zip and texts checked as
    # everywhere; the unit and end-to-end cases run on the x86_64 build, the
    # same sources, under 64-bit Wine. The release's cases need the 32-bit
    # package and its 32-bit custom actions: they cannot run here.
    echo "test: this machine's kernel runs no 32-bit programs: the unit and end-to-end" \
        "cases run on the x86_64 build; package_trial, guide_commands and msi_* NOT RUN"
    lane="$lane, x86_64 build, package cases not run"
    wine64_shim build/wine64
    { ctest --preset i686 -R '^(pe_headers|package_zip|guide_texts)$' &&
        PATH="$PWD/build/wine64:$PATH" ctest --preset x86_64 \
            -E '^(msi_.*|package_zip|package_trial|guide_commands)$' "$@"; } || status=$?
fi
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
