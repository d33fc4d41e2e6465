#!/bin/sh
# Static analysis of the product's sources: cppcheck, and clang-tidy aimed at
# the MinGW-w64 headers. Fails on any finding.
set -eu
cd "$(dirname "$0")/.."

# Every branch of every function: cppcheck 2.11 and later follow only some by
# default and say so; 2.10 (Debian 12) has no such limit and no such option.
level=
if cppcheck --help | grep -q -- --check-level; then
    level=--check-level=exhaustive
fi
cppcheck -q $level --enable=warning,style,performance,portability --std=c++17 --language=c++ \
    --error-exitcode=1 --inline-suppr --suppress=missingIncludeSystem \
    -D_WIN32 -D__MINGW32__ -Isrc src

# FormatText is printf-like on purpose: the catalogue texts are formats.
checks='-*,clang-analyzer-*,bugprone-*,cert-*,-bugprone-easily-swappable-parameters'
checks="$checks,-cert-err33-c,-cert-dcl50-cpp"
gccinc=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-posix/include | head -n 1)
status=0
out=$(clang-tidy --quiet --warnings-as-errors='*' -checks="$checks" \
    src/service/*.cpp src/zuvo/*.cpp src/access/*.cpp src/platform/*.cpp -- \
    --target=i686-w64-mingw32 -std=c++17 -Isrc -isystem "$gccinc" \
    -isystem /usr/share/mingw-w64/include -fno-exceptions \
    -D__USE_MINGW_ANSI_STDIO=0 -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0600 2>&1) || status=$?
# Only the findings: not clang-tidy's counts of what it hid, nor (19) its progress.
printf '%s\n' "$out" |
    grep -vE 'warnings? generated|^Suppressed|header-filter|^\[[0-9]+/[0-9]+\] Processing|^$' || :
[ "$status" = 0 ] || { echo "lint: clang-tidy found problems"; exit 1; }
echo "lint: clean"
