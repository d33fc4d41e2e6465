#!/bin/sh
# Benchmarks: builds vizad.exe and the benchmark programs (build/i686), runs
# every case under Wine in a prefix of their own (build/i686/bench-wine), and
# writes the results with this machine's details to docs/benchmarks.md.
# On Debian 12 it then runs the same in the Debian 13 root under Wine 10
# (scripts/debian13.sh), unless VIZAD_LANES=local leaves that lane out, and
# the file shows both lanes. Run as root on Debian 12 or 13; whatever is
# missing gets installed first. Takes about five minutes a lane, ten while
# others build and test on the machine; the first run makes the prefix,
# about 20 s more.
#   scripts/bench.sh [BUILD_DIR]
# BUILD_DIR (default build/i686, the i686 preset's) is configured like it;
# the Debian 13 root's lane always uses its copy's build/i686.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
. scripts/lanes.sh
build=${1:-$top/build/i686}
case $build in /*) ;; *) build=$top/$build ;; esac
dir=$build/bench-wine            # prefix, session log, raw results
out=$top/docs/benchmarks.md
objdump=i686-w64-mingw32-objdump
# ZOVOVEV of the services: inside the prefix, so inside the build tree.
service_root='C:\vizad-bench-service'
key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

say() { printf 'bench: %s\n' "$*"; }

./scripts/setup.sh
say "building vizad.exe and the benchmark programs (${build#"$top"/})"
if [ $# -eq 0 ]; then
    cmake --preset i686 >/dev/null
else
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
fi
cmake --build "$build" --target vizad vizad_bench

# The system environment is this prefix's own: the value goes when the run
# ends, however it ends, and so does this prefix's wineserver (no other).
session_up=
cleanup() {
    [ -n "$session_up" ] || return 0
    session_up=
    WINEPREFIX="$dir/prefix" WINEDEBUG=-all timeout 60 \
        wine reg delete "$key" /v ZOVOVEV /f </dev/null >/dev/null 2>&1 || :
    tests/wine/session stop "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mkdir -p "$dir"
say "starting a Wine session in ${dir#"$top"/} (its log: session.log there)"
session_up=1
# The session's first process has its standard error in a file: Wine's
# background processes keep it, and a pipe there would never close.
tests/wine/session start "$dir" "$service_root"

say "running the cases (five to ten minutes; progress in ${dir#"$top"/}/driver.log)"
status=0
tests/wine/run "$dir" "$build/bin/vizad_bench.exe" >"$dir/results.txt" 2>"$dir/driver.log" ||
    status=$?
cleanup
tr -d '\r' <"$dir/results.txt" >"$dir/results.md"   # a Windows program writes CR LF
if [ "$status" != 0 ]; then
    cat "$dir/driver.log" >&2
    say "FAILED: a case could not be run (status $status); docs/benchmarks.md left as it was"
    exit 1
fi

# This lane's part of the file: its machine, its targets with the size of its
# own build, its cases and its sizes.
bytes=$(wc -c <"$build/bin/vizad.exe" | tr -d ' ')
if [ "$bytes" -le 32768 ]; then size_verdict=met; else size_verdict='**not met**'; fi

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
[ -n "$cpu" ] || cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
mem=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
os=$(. /etc/os-release && printf '%s' "$PRETTY_NAME")
mingw=$(dpkg-query -W -f='${Version}' mingw-w64-i686-dev 2>/dev/null || echo unknown)

body=$dir/body.md
{
    cat <<EOF
## Machine

| | |
|---|---|
| date | $(date -u '+%Y-%m-%d %H:%M UTC') |
| CPU | $cpu |
| cores (logical CPUs) | $(nproc) |
| memory | $mem |
| system | $os, Linux $(uname -r) |
| Wine | $(wine --version) |
| compiler | $(i686-w64-mingw32-g++-posix --version | head -1), MinGW-w64 runtime $mingw |
| build | i686, MinSizeRel, stripped |
EOF
    # The targets first, with the size added; then the cases in order.
    echo
    awk '/^## Targets$/ { t = 1 } t' "$dir/results.md"
    printf '| vizad.exe (i686, stripped) ≤ 32 KiB | %s bytes | %s |\n' "$bytes" "$size_verdict"
    awk '/^## Targets$/ { exit } { print }' "$dir/results.md"
    sh bench/size.sh "$objdump" "$build/bin/vizad.exe" "$build/bin/ref_host.exe" \
        "$build/bin/ref_host_hardened_advapi32.exe" "$build/bin/ref_service.exe"
} >"$body"

# The opening text; with an argument, the paragraph on the two lanes too.
intro() {
    cat <<EOF
# Benchmarks

What \`vizad.exe\` costs against the least host that does the same job: a
program that reads \`ZOVOVEV\`, runs \`%ZOVOVEV%\\bin\\revaduzeza.bat\` once with
CreateProcessA and waits for it with WaitForSingleObject, built with the same
compiler, C runtime and size flags, without the product's hardening. Everything
runs under Wine; \`scripts/bench.sh\` builds what is needed, runs every case in
a Wine prefix of its own in the build tree (\`build/i686/bench-wine\`) and
writes this file. The figures are one run's, on the machine described below;
other Wine sessions may run on it at the same time, so timings carry some
noise: the middle half of the pairwise ratios shows how much.
EOF
    [ -z "${1:-}" ] || cat <<EOF

On Debian 12 the cases run in two lanes, one after the other: under the
machine's own Wine 8, then under Wine 10 in the Debian 13 root of the test
command's second lane, built there with that release's compiler. Each lane's
figures are ratios to the least host built and measured in the same lane,
under the same Wine; no figure of one lane is set against the other's.
EOF
    cat <<EOF

Cases that time or weigh hosts run them in rounds after warm-up rounds: every
host once a round, each round starting one host further down the table than
the last. Each table gives every host's median and, for each reference, the
ratio of the medians and the median of the pairwise ratios (\`vizad.exe\` over
the reference, round by round). Targets are judged on the median of the
pairwise ratios.

The rows under the least host add one thing each, so that what stands between
\`vizad.exe\` and the least host can be read off: advapi32 imported but not
called (the DLL of the service API and the event log, which a host that
imports it loads at every start), the product's hardening (its flags and its
own seeding of the stack guard), and both. \`vizad.exe\` does not import
advapi32 (see its imports under Size, in both lanes): it loads it on its
first call of the service manager or the event log, so a \`-debug\` run never
loads it. Its console rows therefore compare with "least host + the
product's hardening": what stands between those two is \`vizad.exe\`'s own
code, and the advapi32 rows show the cost that loading on first use saves.
The least host runs twice a round; what separates its two rows is noise.

EOF
}

# The rows of a lane's targets table.
target_rows() {
    awk '/^## / { t = ($0 == "## Targets"); next }
         t && /^\| / && !/^\|---/ && !/^\| target \|/' "$1"
}
# A lane's part under a heading of its own, less its targets: both lanes'
# stand together at the top.
lane_part() {
    printf '## %s\n\n' "$1"
    awk '/^## / { skip = ($0 == "## Targets") } !skip' "$2" | sed 's/^## /### /'
}

lane=$(local_lane)
mkdir -p "$(dirname "$out")"
if ! wine10_lane; then
    { intro; cat "$body"; } >"$out.tmp"
else
    say "$lane done; now the Wine 10 lane, in the Debian 13 root (five to ten minutes)"
    if ! ./scripts/debian13.sh scripts/bench.sh; then
        say "FAILED: the Wine 10 lane could not be run; docs/benchmarks.md left as it was"
        exit 1
    fi
    body10=$debian13_copy/build/i686/bench-wine/body.md
    target_rows "$body" >"$dir/rows.md"
    target_rows "$body10" >"$dir/rows10.md"
    {
        intro lanes
        cat <<EOF
## Targets

Each lane against the least host measured in that lane; the size is that of
the lane's own build.

| target | $lane | | Wine 10 lane (Debian 13 root) | |
|---|---|---|---|---|
EOF
        awk -F'|' 'NR == FNR { a[FNR] = $0; next }
            { split(a[FNR], x, "|"); printf "|%s|%s|%s|%s|%s|\n", x[2], x[3], x[4], $3, $4 }' \
            "$dir/rows.md" "$dir/rows10.md"
        echo
        lane_part "$lane" "$body"
        echo
        lane_part "Wine 10 lane (Debian 13 root)" "$body10"
    } >"$out.tmp"
fi
mv "$out.tmp" "$out"
say "wrote docs/benchmarks.md"
awk '/^## Targets$/ { t = 1; next } /^## / { t = 0 } t && /^\| /' "$out"
