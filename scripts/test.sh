#!/bin/sh
# Installs what is missing, builds VIZAD for i686 (the product) and x86_64
# (kept 64-bit clean), and runs every test under Wine with ctest.
# Extra arguments go to ctest, e.g. scripts/test.sh -R ConsoleRun
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset i686 >/dev/null
cmake --build --preset i686
cmake --preset x86_64 >/dev/null
cmake --build --preset x86_64 --target vizad
ctest --preset i686 "$@"
