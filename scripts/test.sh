#!/bin/sh
# Installs what is missing, checks the sources, builds VIZAD for i686 (the
# product) and x86_64 (kept 64-bit clean, tests included), and runs every
# test under Wine with ctest.
# Extra arguments go to the i686 ctest run, e.g. scripts/test.sh -R ConsoleRun
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
./scripts/lint.sh
cmake --preset i686 >/dev/null
cmake --build --preset i686
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64
ctest --preset x86_64 -R pe_headers
ctest --preset i686 "$@"
