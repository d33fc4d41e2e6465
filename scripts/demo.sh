#!/bin/sh
# The demo: builds vizad.exe and the sample installation, runs
# "vizad.exe -debug" on that installation under Wine, shows the sample
# server's heartbeat, then stops it all with Ctrl+C.
# Run as root on Debian 12 or 13; whatever is missing gets installed first.
# At a terminal you press Ctrl+C yourself; without one (or with CI=true)
# the demo presses it after a few heartbeats. Ends with status 0 when
# vizad.exe has stopped the server and exited with 0.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
. scripts/lanes.sh
# A kernel that runs no 32-bit programs runs no 32-bit Wine: the demo then
# runs the x86_64 build, the same sources, under 64-bit Wine.
preset=i686
if ! runs_32bit; then
    preset=x86_64
    wine64_shim "$top/build/wine64"
    PATH="$top/build/wine64:$PATH"
fi
build=$top/build/$preset
work=$build/demo                 # prefix, staged installation and logs
inst=$work/installation
log=$work/wine.log               # what Wine and the build say, kept out of sight
done_file=$work/vizad.status     # holds vizad.exe's exit status once it has ended
marker=demo-$$                   # an extra -debug word, so SIGINT finds this vizad.exe only

FIRST_BEAT_WITHIN=30  # s allowed for the server's first heartbeat
HEARTBEATS_SHOWN=5    # heartbeats before the demo presses Ctrl+C itself
PRESS_WITHIN=60       # s a person has to press Ctrl+C before the demo does
STOP_WITHIN=30        # s allowed from Ctrl+C to vizad.exe's end

say() { printf 'demo: %s\n' "$*"; }
pause() { sleep 0.2 || :; }   # a Ctrl+C ends it early, which is harmless

# Windows path of a Unix path: Wine's Z: drive is the Unix root.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset ZOVOVEV

session_up=
cleanup() {
    [ -n "$session_up" ] || return 0
    # Ends every process of this prefix, the sample server included.
    timeout 20 wineserver -k >/dev/null 2>&1 || :
    timeout 20 wineserver -w >/dev/null 2>&1 || :
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

say "installing what is missing (scripts/setup.sh)"
./scripts/setup.sh
mkdir -p "$work"
: >"$log"

[ "$preset" = i686 ] || say "this machine's kernel runs no 32-bit programs: the demo runs the x86_64 build"
say "building vizad.exe and sample_server.exe (build/$preset)"
if ! { cmake --preset $preset && cmake --build --preset $preset --target vizad sample_server; } \
        </dev/null >>"$log" 2>&1; then
    cat "$log"
    say "build failed"
    exit 1
fi

# The installation is the repository's demo/installation plus the freshly
# built server beside its control script, so the repository stays clean.
rm -rf "$inst"
mkdir -p "$inst"
cp -R demo/installation/. "$inst/"
cp "$build/bin/sample_server.exe" "$inst/bin/"
server_log=$inst/logs/sample_server.log

# Background processes of a Wine session keep the standard error of the
# process that started them: it must be a file, never the caller's pipe.
session_up=1
timeout 20 wineserver -k >/dev/null 2>&1 || :   # left over from an earlier run
timeout 20 wineserver -w >/dev/null 2>&1 || :
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "making a Wine prefix in build/$preset/demo/prefix (once, about 20 s)"
    timeout 120 wineboot -i </dev/null >>"$log" 2>&1
    timeout 20 wineserver -k >/dev/null 2>&1 || :
    timeout 20 wineserver -w >/dev/null 2>&1 || :
fi
say "starting a Wine session"
wineserver -p </dev/null >>"$log" 2>&1
timeout 60 wine cmd /c exit </dev/null >>"$log" 2>&1

# From here on a Ctrl+C is counted, and handed on once the server runs.
presses=0
trap 'presses=$((presses + 1))' INT

root=$(winpath "$inst")
say "running: ZOVOVEV=$root vizad.exe -debug"
say "the control script: $(winpath "$inst/bin/revaduzeza.bat")"
[ -t 1 ] || say "(vizad.exe writes its own lines to a file or pipe when it ends)"
echo
rm -f "$done_file"
# A session of its own: a Ctrl+C at the terminal reaches this script only,
# which hands it to vizad.exe alone. Otherwise the terminal would signal the
# whole group, and under Wine the run instance's cmd.exe dies of it, so
# vizad.exe ends before its stop instance runs and the server lives on.
(
    trap : INT
    status=0
    ZOVOVEV=$root setsid -w wine "$build/bin/vizad.exe" -debug "$marker" </dev/null || status=$?
    echo "$status" >"$done_file"
) &

vizad_ended() { [ -s "$done_file" ]; }
heartbeats() {
    if [ -f "$server_log" ]; then grep -c 'serving, tick' "$server_log" || :; else echo 0; fi
}
press_ctrl_c() { pkill -INT -f -- "vizad\\.exe -debug $marker\$" || :; }

# Waits up to $2 seconds for the server's $1-th heartbeat; false if vizad.exe ended first.
await_heartbeats() {
    n=$(($2 * 5))
    while [ "$(heartbeats)" -lt "$1" ]; do
        vizad_ended && return 1
        [ "$n" -gt 0 ] || return 1
        n=$((n - 1))
        pause
    done
}

if [ -t 0 ] && [ "${CI:-}" != true ]; then
    interactive=1
else
    interactive=
fi

# Ctrl+C goes to vizad.exe only once its server runs: by then its console
# handler is surely in place.
if await_heartbeats 1 "$FIRST_BEAT_WITHIN"; then
    if [ -n "$interactive" ]; then
        [ "$presses" -gt 0 ] ||
            say "press Ctrl+C to stop (the demo presses it for you after $PRESS_WITHIN s)"
        n=$((PRESS_WITHIN * 5))
        while [ "$presses" -eq 0 ] && [ "$n" -gt 0 ] && ! vizad_ended; do
            n=$((n - 1))
            pause
        done
        [ "$presses" -gt 0 ] || say "no Ctrl+C came: pressing it now"
    else
        await_heartbeats "$HEARTBEATS_SHOWN" "$HEARTBEATS_SHOWN" || :
        say "pressing Ctrl+C: SIGINT to vizad.exe alone (Wine makes it a Ctrl+C event)"
    fi
    if ! vizad_ended; then
        forwarded=0
        [ "$presses" -gt 0 ] || presses=1
        n=$((STOP_WITHIN * 5))
        while ! vizad_ended && [ "$n" -gt 0 ]; do
            # Every further press is one more Ctrl+C for vizad.exe.
            while [ "$forwarded" -lt "$presses" ]; do
                press_ctrl_c
                forwarded=$((forwarded + 1))
            done
            n=$((n - 1))
            pause
        done
    fi
elif ! vizad_ended; then
    echo
    say "FAILED: the sample server did not start within $FIRST_BEAT_WITHIN s"
    exit 1
fi
# Later presses change nothing: every wait from here on is bounded.

if ! vizad_ended; then
    echo
    say "FAILED: vizad.exe did not end within $STOP_WITHIN s of Ctrl+C"
    exit 1
fi
status=$(cat "$done_file")
echo   # console mode's stop message has no line end of its own
say "vizad.exe exited with status $status"

if [ "$(heartbeats)" -eq 0 ]; then
    say "FAILED: vizad.exe ended without running the sample server"
    exit 1
fi
# The server must be gone now; if the stop command still finds it, the demo failed.
if timeout 30 wine "$inst/bin/sample_server.exe" stop </dev/null >>"$log" 2>&1; then
    say "FAILED: the sample server was still running; stopped it"
    exit 1
fi
if ! grep -q 'sample server: stopped' "$server_log" 2>/dev/null; then
    say "FAILED: the sample server did not stop cleanly"
    exit 1
fi
say "the sample server has stopped (heartbeats: $(heartbeats)); its log: $(winpath "$server_log")"
say "stopping the Wine session"
cleanup
session_up=
[ "$status" = 0 ] || exit 1
say "done"
