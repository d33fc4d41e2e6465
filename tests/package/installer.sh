#!/bin/sh
# Usage: installer.sh SCENARIO BINARY_DIR VERSION SOURCE_DIR FIXTURE_EXE
# Installs the Windows Installer package that the package check made with
# Wine's msiexec, in a fresh Wine prefix of the scenario's own
# (BINARY_DIR/msi-SCENARIO/prefix), with C:\Program.exe planted (a copy of
# the fixture, which notes any run in C:\vizad-planted-ran). Each msiexec
# step keeps its verbose log in BINARY_DIR/msi-SCENARIO/logs/STEP.log (the
# guide's lines: where they say, in the prefix's C:\deploy), and a failed
# check names that log. The prefix, and what the scenario built, go when it
# passes; a scenario that fails keeps them.
#   example   the guide's /qn ADDLOCAL=ALL: files, quoted path, variable,
#             demand start and a preshutdown timeout of 180 s;
#             sc.exe start runs the example's server, sc.exe stop stops it;
#             a repair keeps a start type and error control of the
#             administrator's, and its log reads them back; a re-run sets a
#             root, STOPDEADLINE and RESTARTDELAY, another keeps them;
#             started again, the guide's /x {product code} stops it and
#             leaves nothing, the deadline included, with a stale upgrade's
#             mark
#   root      the guide's /qn ZOVOVEV=C:\Ulvane, and its /x by the package
#             file, which removes the variable and leaves the root alone;
#             then the guide's line with STARTTYPE=auto and
#             PRESHUTDOWNTIMEOUT=300000: the service starts with the session
#             and runs that root's script; a run as an upgrade from 1.2
#             sets the default timeout; a service deleted with sc.exe
#             leaves nothing for the removal to fail on
#   refused   roots that the host would refuse (one that the code page
#             cannot spell among them) and settings that are none of their
#             values are refused, nothing is installed; a variable that the
#             package did not set is kept; STARTTYPE=delayed-auto
#   upgrade   a package of a higher version, built here from a copy of the
#             sources, replaces vizad.exe and leaves one product, while the
#             service runs a script whose stop takes 45 s: with STOPTIMEOUT=5
#             it fails and leaves the older version; with the default it
#             waits for the stop, asks no restart, and keeps the start type
#             and preshutdown timeout that the first install was given; the
#             older package is then refused; the administrator's own service
#             settings (an sc.exe description) are gone with the old service;
#             the guide's way back: its script names the installed product
#             code, which removes it, and the older package is installed;
#             the removal waits for the same slow stop; STOPDEADLINE is
#             kept by the upgrade; an upgrade that fails after the older
#             product's removal leaves no upgrade's mark
#   rollback  a package that fails once everything is done leaves nothing
# Every wait is bounded.
set -eu
scenario=$1
bindir=$2
version=$3
srcdir=$4
fixture=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
msi=$bindir/package-test/vizad-$version.msi
zip=$bindir/package-test/vizad-$version-win32.zip
dir=$bindir/msi-$scenario
session=$here/../wine/session
export WINEPREFIX="$dir/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
drive=$WINEPREFIX/drive_c
folder="$drive/Program Files (x86)/VIZAD"
winfolder='C:\Program Files (x86)\VIZAD'
envkey='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

SESSION_WITHIN=180    # s to make the prefix and start its session
MSIEXEC_WITHIN=120    # s for one msiexec run
STEP_WITHIN=60        # s for one other command
FIRST_BEAT_WITHIN=30  # s for the sample server's first heartbeat
STOP_WITHIN=30        # s from a stop to its end

cleanup() { end_case $? "$session" "$dir" "$dir/src" "$dir/unzipped"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# msiexec STEP LINE: runs "msiexec LINE" from a batch file, as an
# administrator types it, with a verbose log of the step; $status is its
# exit status (its output goes to a file: a custom action server that
# outlives msiexec would hold a pipe open).
msiexec() {
    step=$1
    log="$dir/logs/$step.log"
    # A batch file's % is written %%.
    printf 'msiexec %s /l*v "%s"\r\n@echo msi-status: %%errorlevel%%\r\n' \
        "$(printf '%s' "$2" | sed 's/%/%%/g')" "$(winpath "$log")" >"$drive/msi-$step.bat"
    timeout "$MSIEXEC_WITHIN" wine cmd /c "C:\\msi-$step.bat" </dev/null >"$dir/$step.out" 2>>"$dir/wine.log" || :
    status=$(tr -d '\r' <"$dir/$step.out" | sed -n 's/^msi-status: //p')
}
# guide STEP NAME [SED]: the administrator's guide's block NAME, its lines
# as written (or as the sed script SED fills in what the guide leaves to the
# reader), run from C:\deploy, where the package lies; $log is the log that
# its last /l*v names (a C: path), $codes what its "echo %errorlevel%" lines
# printed.
guide() {
    step=$1
    lines=$(block "$2") || exit 1
    [ -z "${3:-}" ] || lines=$(printf '%s\n' "$lines" | sed "$3")
    { printf '%s\n' "$lines" | sed 's/$/\r/'; printf '@echo msi-status: %%errorlevel%%\r\n'; } \
        >"$drive/msi-$step.bat"
    (cd "$drive/deploy" && timeout "$MSIEXEC_WITHIN" wine cmd /c "C:\\msi-$step.bat") \
        </dev/null >"$dir/$step.out" 2>>"$dir/wine.log" || :
    status=$(tr -d '\r' <"$dir/$step.out" | sed -n 's/^msi-status: //p')
    codes=$(tr -d '\r' <"$dir/$step.out" | grep -x '[0-9][0-9]*' | tr '\n' ' ')
    log=$drive/$(printf '%s\n' "$lines" | sed -n 's/.*\/l\*v "\{0,1\}C:\\\([^"]*\.log\).*/\1/p' | tail -1 | tr '\\' /)
}
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
# checkl WHAT GOT EXPECTED: check, naming the last step's log when it fails.
checkl() {
    was=$fail
    check "$step: $1" "$2" "$3"
    [ "$fail" = "$was" ] || echo "  log: $log"
}
# How many lines of the log say $1 (the properties' list at its end aside).
logs() { grep -av '^Property(' "$log" | grep -cF -- "$1" || :; }

# What the prefix holds, as reg.exe, sc.exe and the fixture show it. That
# something is gone is read only from the tool's own report of its absence
# (reg.exe's "Unable to find", the manager's 1060): a tool that fails in any
# other way gives a text that no check expects.
# reg_value KEY NAME: the value; "none" when reg.exe finds no such key or value.
reg_value() {
    rc=0
    timeout "$STEP_WITHIN" wine reg query "$1" /v "$2" </dev/null >"$dir/reg.txt" 2>&1 || rc=$?
    if [ "$rc" = 0 ]; then
        tr -d '\r' <"$dir/reg.txt" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
    elif grep -q 'nable to find the specified registry' "$dir/reg.txt"; then
        echo none
    else
        echo "reg.exe failed with $rc"
    fi
}
variable() { reg_value "$envkey" ZOVOVEV; }
deadline() { reg_value 'HKLM\System\CurrentControlSet\Services\ZUVO\Parameters' StopTimeout; }
image_path() { reg_value 'HKLM\System\CurrentControlSet\Services\ZUVO' ImagePath; }
# The VIZAD products installed, or "none" when reg.exe lists the key without one.
products() {
    rc=0
    timeout "$STEP_WITHIN" wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s \
        </dev/null >"$dir/reg.txt" 2>&1 || rc=$?
    [ "$rc" = 0 ] || { echo "reg.exe failed with $rc"; return; }
    names=$(tr -d '\r' <"$dir/reg.txt" | sed -n 's/^ *DisplayName *REG_SZ *\(VIZAD .*\)/\1/p' | tr '\n' ' ')
    echo "${names:-none}"
}
# The service's state; Wine's sc.exe fails without a word for a service that
# does not exist, so that is read from the manager itself (gone, below).
query() {
    rc=0
    timeout "$STEP_WITHIN" wine sc query ZUVO </dev/null >"$dir/query.txt" 2>/dev/null || rc=$?
    [ "$rc" = 0 ] || { echo "sc.exe failed with $rc"; return; }
    tr -d '\r' <"$dir/query.txt" | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}
# The service's start type, delayed start and preshutdown timeout, as
# QueryServiceConfigA and QueryServiceConfig2A give them.
# With an account, sets it first. The event log's source key: "none" when gone.
service_config() { timeout "$STEP_WITHIN" wine "$fixture" config ZUVO ${1:+"$1"} </dev/null 2>/dev/null | tr -d '\r'; }
srckey='HKLM\System\CurrentControlSet\Services\EventLog\Application\ZUVO'
source_key() { timeout "$STEP_WITHIN" wine reg query "$srckey" </dev/null >"$dir/reg.txt" 2>&1 && echo present ||
    { grep -q 'nable to find' "$dir/reg.txt" && echo none || echo "reg.exe failed"; }; }
# "gone" when the manager says that the service does not exist (1060).
gone() {
    config=$(service_config)
    [ "$config" = "OpenService failed: 1060" ] && echo gone || echo "${config:-no answer}"
}
running() { [ "$(query)" = RUNNING ]; }
stopped() { [ "$(query)" = STOPPED ]; }
sc() { timeout "$STEP_WITHIN" wine sc "$@" </dev/null >>"$dir/wine.log" 2>&1; }

planted() { [ -f "$drive/vizad-planted-ran" ] && cat "$drive/vizad-planted-ran" || echo none; }

# A new Wine session with ROOT as the system's ZOVOVEV: the service manager
# reads the system environment when it starts, as Windows does at boot.
restart() { timeout "$SESSION_WITHIN" "$session" start "$dir" "$1"; }

# The checks after an install of the package with the example.
check_installed() {
    checkl "exit status" "$status" 0
    checkl "registered path, quoted" "$(image_path)" "\"$winfolder\\vizad.exe\""
    checkl "vizad.exe in Program Files (x86)" "$(cmp -s "$1" "$folder/vizad.exe" && echo yes)" yes
    checkl "nothing in the 64-bit Program Files" "$([ -e "$drive/Program Files/VIZAD" ] || echo none)" none
    checkl "one product" "$(products)" "VIZAD $2 "
    checkl "the event source names vizad.exe" "$(reg_value "$srckey" EventMessageFile)" "$winfolder\\vizad.exe"
    checkl "the event source: errors and information entries" "$(reg_value "$srckey" TypesSupported)" 0x5
}
DEFAULTS="start=3 preshutdown=180000"  # demand start, 180 s
# start LOG: sc.exe start, and the server beats in LOG.
start() {
    step=$1
    sc start ZUVO || :
    checkl "the server beats" "$(wait_for $FIRST_BEAT_WITHIN beating "$2" && echo yes)" yes
    checkl "C:\\Program.exe never ran" "$(planted)" none
}
# stop: sc.exe stop; stopped with exit code 0 and no server left.
stop() {
    step=$1
    sc stop ZUVO || :
    checkl "STOPPED within $STOP_WITHIN s" "$(wait_for $STOP_WITHIN stopped && echo yes)" yes
    checkl "exit code" "$(sed -n 's/^ *WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p' "$dir/query.txt")" 0
    checkl "no server left" "$(wait_for $STOP_WITHIN server_gone && echo yes)" yes
}
# The checks after an uninstall: nothing of the package is left.
check_removed() {
    checkl "exit status" "$status" 0
    checkl "no server left" "$(wait_for $STOP_WITHIN server_gone && echo yes)" yes
    checkl "the service is gone" "$(gone)" gone
    checkl "the folder is gone" "$([ -e "$folder" ] || echo gone)" gone
    checkl "no product" "$(products)" none
    checkl "the event source is gone" "$(source_key)" none
}

[ -f "$msi" ] || { echo "FAILED: no $msi (the package_zip case makes it)"; exit 1; }
rm -rf "$dir"
mkdir -p "$dir/logs"
: >"$dir/wine.log"
restart ""
cp "$fixture" "$drive/Program.exe"
mkdir -p "$dir/unzipped"
(cd "$dir/unzipped" && cmake -E tar xf "$zip")
exe=$dir/unzipped/vizad.exe
example_log="$folder/example/logs/sample_server.log"

case $scenario in
example)
    # The guide's own lines: install with the example, remove by product code.
    mkdir -p "$drive/deploy"
    cp "$msi" "$drive/deploy/"
    guide install msi-install
    check_installed "$exe" "$version"
    checkl "start /wait gives msiexec's exit code to the guide's echo" "$codes" "0 "
    checkl "the example's folder is the root" "$(variable)" "$winfolder\\example\\"
    checkl "demand start, preshutdown 180 s" "$(service_config)" "$DEFAULTS"
    # Wine's manager gives a new service 180 s too (Windows 10 since 1703:
    # 10 s), so the package's own line shows that it set them.
    checkl "the package set them" "$(logs "start demand, preshutdown 180000 ms")" 1
    checkl "the example's script" "$(cmp -s "$dir/unzipped/example/bin/revaduzeza.bat" \
        "$folder/example/bin/revaduzeza.bat" && echo yes)" yes
    restart "$(variable)"
    start start "$example_log"
    stop stop
    checkl "the stop instance stopped the server" "$(grep -c 'sample server: stopped' "$example_log")" 1
    # The start type and error control are the administrator's: a repair
    # keeps them, and its log reads them back.
    checkl "disabled by the administrator" "$(service_config disabled)" "start=4 preshutdown=180000"
    checkl "error control severe" "$(service_config severe)" "error=2 start=4 preshutdown=180000"
    # A repair as /fa asks for it: Wine's msiexec /f ends with 1.
    msiexec repair "/i \"$(winpath "$msi")\" /qn REINSTALL=ALL REINSTALLMODE=omus"
    checkl "exit status" "$status" 0
    checkl "still disabled, still severe" "$(service_config)" "error=2 start=4 preshutdown=180000"
    checkl "read back" "$(logs 'service ZUVO has: account LocalSystem, start disabled, error control severe, preshutdown 180000 ms')" 1
    # A re-run sets a root, in place of the example's, and a start type given.
    mkdir -p "$drive/Ulvane/bin"
    cp "$dir/unzipped/example/bin/"* "$drive/Ulvane/bin/"
    msiexec rerun-root "/i \"$(winpath "$msi")\" /qn ZOVOVEV=C:\\Ulvane STARTTYPE=demand STOPDEADLINE=30 RESTARTDELAY=60"
    checkl "exit status" "$status" 0
    checkl "the re-run's root" "$(variable)" 'C:\Ulvane'
    checkl "demand start given" "$(service_config)" "error=2 $DEFAULTS"
    checkl "the stop deadline" "$(deadline)" 0x1e
    # Wine's manager may refuse recovery actions (124), as for a delayed start.
    checkl "the restart" "$(($(logs 'service ZUVO restarts 60 s after a failure (3 restarts, failure count reset after 86400 s, failure flag on)') +
        $(logs 'cannot set the restart of service ZUVO after a failure: error 124')))" 1
    example_log=$drive/Ulvane/logs/sample_server.log
    start "start again" "$example_log"
    # A re-run with a new start type applies it, and starts again what ran.
    msiexec rerun "/i \"$(winpath "$msi")\" /qn STARTTYPE=auto"
    checkl "exit status" "$status" 0
    checkl "automatic start" "$(service_config)" "error=2 start=2 preshutdown=180000"
    checkl "the stop deadline kept" "$(deadline)" 0x1e
    checkl "running again" "$(wait_for $FIRST_BEAT_WITHIN running && echo yes)" yes
    # A mark that no run of this removal set (one left by a failed upgrade)
    # keeps nothing.
    timeout "$STEP_WITHIN" wine reg add 'HKLM\Software\Wow6432Node\VIZAD' /v Upgrading \
        /d '{00000000-0000-0000-0000-000000000000} 4' /f </dev/null >/dev/null 2>&1
    guide uninstall-running msi-remove
    check_removed
    checkl "the stop deadline gone with the service" "$(deadline)" none
    checkl "the stale mark gone" "$(reg_value 'HKLM\Software\Wow6432Node\VIZAD' Upgrading)" none
    checkl "start /wait gives msiexec's exit code to the guide's echo" "$codes" "0 "
    checkl "the variable is gone" "$(variable)" none
    ;;
root)
    # The guide's lines for a root of one's own, and for removal by the
    # package file; the log folder stands made, as the guide's first install
    # made it.
    mkdir -p "$drive/Ulvane/bin" "$drive/deploy" "$drive/Program Files/VIZAD-logs"
    cp "$dir/unzipped/example/bin/"* "$drive/Ulvane/bin/"
    cp "$msi" "$drive/deploy/"
    guide install msi-install-root
    check_installed "$exe" "$version"
    checkl "the variable" "$(variable)" 'C:\Ulvane'
    checkl "demand start, preshutdown 180 s" "$(service_config)" "$DEFAULTS"
    guide uninstall-file msi-remove-file
    check_removed
    checkl "the variable is gone" "$(variable)" none
    checkl "the root is left" "$([ -f "$drive/Ulvane/bin/revaduzeza.bat" ] && echo yes)" yes
    # The guide's line with the package's settings.
    guide install-settings msi-settings
    checkl "start /wait gives msiexec's exit code to the guide's echo" "$codes" "0 "
    check_installed "$exe" "$version"
    checkl "the variable" "$(variable)" 'C:\Ulvane'
    checkl "no example" "$([ -e "$folder/example" ] || echo none)" none
    checkl "automatic start, preshutdown 300 s" "$(service_config)" "start=2 preshutdown=300000"
    # Started at once, with the root just set, in a session that began without it.
    checkl "started by the package" "$(wait_for $FIRST_BEAT_WITHIN beating "$drive/Ulvane/logs/sample_server.log" &&
        echo yes)" yes
    restart 'C:\Ulvane'
    step=autostart
    checkl "started with the session" "$(wait_for $FIRST_BEAT_WITHIN running && echo yes)" yes
    start start "$drive/Ulvane/logs/sample_server.log"
    stop stop
    # What the Upgrade row finds for a 1.2, which set no timeout: the
    # package's own, not the service's.
    msiexec from-1.2 "/i \"$(winpath "$msi")\" /qn VIZADRELEASED12=1"
    checkl "the start type kept, the timeout the package's" "$(service_config)" "start=2 preshutdown=180000"
    # A service already gone: the removal for good has nothing to delete.
    sc delete ZUVO || :
    checkl "deleted with sc.exe" "$(gone)" gone
    msiexec uninstall "/x \"$(winpath "$msi")\" /qn"
    check_removed
    checkl "the variable is gone again" "$(variable)" none
    ;;
refused)
    # refused WHAT SAYS: the last step was refused, with SAYS in its log, and
    # left nothing.
    refused() {
        checkl "$1: exit status 1603" "$status" 1603
        checkl "$1: the log says why" "$(logs "$2")" 1
        checkl "$1: no service" "$(gone)" gone
        checkl "$1: no folder" "$([ -e "$folder" ] || echo none)" none
        checkl "$1: no variable" "$(variable)" none
        checkl "$1: no product" "$(products)" none
    }
    n=0
    # The last root has a full-width ampersand (U+FF06), which code page
    # 1252 spells as "&": the host would read C:\t\fw&x, another folder.
    for root in 'C:\50%' '\\?\C:\Ulvane' '\\.\C:\Ulvane' 'C:\a"b' 'C:\t\fw＆x'; do
        n=$((n + 1))
        says="ZOVOVEV=$root is refused"
        case $root in
        *\"*|*＆*)
            # Wine's msiexec drops a double quote from the command line
            # (Windows takes "" in quotes), and a batch file cannot carry
            # U+FF06: these come as the root that an earlier install saved,
            # which is checked the same way.
            timeout "$STEP_WITHIN" wine reg add 'HKLM\Software\Wow6432Node\VIZAD' /v ZOVOVEV /d "$root" /f \
                </dev/null >/dev/null 2>&1
            msiexec "refused-$n" "/i \"$(winpath "$msi")\" /qn ADDLOCAL=ALL" ;;
        *)
            msiexec "refused-$n" "/i \"$(winpath "$msi")\" /qn ADDLOCAL=ALL ZOVOVEV=\"$root\"" ;;
        esac
        case $root in
        # The log is written in the code page, which misspells the root too.
        *＆*) says='is refused: the system'"'"'s code page does not spell it, and the service would log "C:\t\fw&x\bin\revaduzeza.bat not found." at every start (error 1113:' ;;
        esac
        refused "$root" "$says"
    done
    timeout "$STEP_WITHIN" wine reg delete 'HKLM\Software\Wow6432Node\VIZAD' /f </dev/null >/dev/null 2>&1
    # Settings that are none of their values.
    for setting in STARTTYPE=sometimes PRESHUTDOWNTIMEOUT=-1 STOPTIMEOUT=5s STOPDEADLINE=soon RESTARTDELAY=-1; do
        n=$((n + 1))
        msiexec "refused-$n" "/i \"$(winpath "$msi")\" /qn $setting"
        refused "$setting" "$setting is refused: it is "
    done
    # An administrator's own variable: neither the install without a root
    # nor the uninstall touches it.
    timeout "$STEP_WITHIN" wine reg add "$envkey" /v ZOVOVEV /d 'C:\Own' /f </dev/null >/dev/null 2>&1
    msiexec install "/i \"$(winpath "$msi")\" /qn STARTTYPE=delayed-auto"
    check_installed "$exe" "$version"
    checkl "the administrator's variable is kept" "$(variable)" 'C:\Own'
    # Wine 8's service manager knows no delayed start: the package says so
    # in the log and the start stays automatic.
    delayed=$(service_config)
    [ "$delayed" != "start=2 preshutdown=180000" ] ||
        [ "$(logs 'cannot delay the automatic start of service ZUVO: error 124; it starts undelayed')" != 1 ] ||
        delayed="$delayed delayed"
    checkl "delayed automatic start" "$delayed" "start=2 preshutdown=180000 delayed"
    checkl "started by the first install" \
        "$(($(logs 'VIZAD: service ZUVO started') + $(logs 'VIZAD: service ZUVO did not start')))" 1
    msiexec auto "/i \"$(winpath "$msi")\" /qn STARTTYPE=auto"
    checkl "a re-run with auto drops the delay" "$(service_config)" "start=2 preshutdown=180000"
    msiexec uninstall "/x \"$(winpath "$msi")\" /qn"
    check_removed
    checkl "the administrator's variable is still kept" "$(variable)" 'C:\Own'
    ;;
upgrade)
    # The same sources at the next patch version, built and packaged here.
    next=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
    src=$dir/src
    mkdir -p "$src"
    tar -C "$srcdir" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -
    sed -i "s/^project(vizad VERSION $version /project(vizad VERSION $next /" "$src/CMakeLists.txt"
    if ! (cd "$src" && cmake --preset i686 -DVIZAD_TESTS=OFF &&
          cmake --build --preset i686 --target package) >"$dir/build.log" 2>&1; then
        cat "$dir/build.log"
        echo "FAILED: the package of version $next"
        exit 1
    fi
    newmsi=$src/build/i686/vizad-$next.msi
    newexe=$src/build/i686/bin/vizad.exe
    # Over the released 1.3.0 (the package of its last commit), whose
    # removal deletes the service: its account, start type and timeout are
    # carried, without a start for a service that was stopped.
    msiexec released "/i \"$(winpath "$here/released/vizad-1.3.0.msi")\" /qn ADDLOCAL=ALL STARTTYPE=auto PRESHUTDOWNTIMEOUT=300000"
    checkl "exit status" "$status" 0
    checkl "1.3.0 runs as an account of the administrator's" "$(service_config 'NT AUTHORITY\LocalService')" \
        "start=2 preshutdown=300000 as NT AUTHORITY\LocalService"
    stop "stop 1.3.0"
    msiexec install "/i \"$(winpath "$msi")\" /qn ADDLOCAL=ALL STOPDEADLINE=20"
    check_installed "$exe" "$version"
    checkl "the account, start type and timeout carried" "$(service_config)" \
        "start=2 preshutdown=300000 as NT AUTHORITY\LocalService"
    checkl "still stopped, no start tried" "$(query) $(logs "VIZAD: service ZUVO started") $(logs "ZUVO did not start")" \
        "STOPPED 0 0"
    # What an administrator set on the registration, which no installer
    # writes, and a description, which Wine's sc.exe stores.
    svckey='HKLM\System\CurrentControlSet\Services\ZUVO'
    timeout "$STEP_WITHIN" wine reg add "$svckey" /v Environment /t REG_MULTI_SZ /d 'SET_BY=admin\0OTHER=1' /f \
        </dev/null >/dev/null 2>&1
    sc description ZUVO "set by the administrator" || :
    checkl "the service's Environment is stored" "$(reg_value "$svckey" Environment)" 'SET_BY=admin\0OTHER=1'
    # The example's script, replaced by one whose stop takes 45 s: it waits,
    # then ends the server and notes its end in C:\Slow\stops.txt.
    mkdir -p "$drive/Slow"
    cp "$fixture" "$drive/Slow/fixture.exe"
    slow_script() {
        printf '%s\r\n' '@echo off' 'if "%~1"=="stopServers" goto stop' \
            'C:\Slow\fixture.exe serve vizad-slow 600000' 'exit /b %errorlevel%' ':stop' \
            'C:\Slow\fixture.exe sleep 45000' 'C:\Slow\fixture.exe stop vizad-slow' \
            'echo stopped>>C:\Slow\stops.txt' >"$folder/example/bin/revaduzeza.bat"
    }
    slow_serving() { [ -n "$(prefix_pids 'fixture\.exe serve vizad-slow')" ]; }
    stops() { [ -f "$drive/Slow/stops.txt" ] && grep -c stopped "$drive/Slow/stops.txt" || echo 0; }
    slow_script
    # Automatic start: the service manager starts it with the session.
    restart "$(variable)"
    step=autostart
    checkl "started with the session" "$(wait_for $FIRST_BEAT_WITHIN running && echo yes)" yes
    checkl "the slow server runs" "$(wait_for $FIRST_BEAT_WITHIN slow_serving && echo yes)" yes
    # Too short a wait for its stop: the upgrade fails before it changes
    # anything, and the stop goes on to its end.
    msiexec short "/i \"$(winpath "$newmsi")\" /qn ADDLOCAL=ALL STOPTIMEOUT=5"
    checkl "exit status 1603" "$status" 1603
    checkl "the log says why" "$(logs 'did not stop within 5 s (STOPTIMEOUT)')" 1
    checkl "the older vizad.exe stays" "$(cmp -s "$exe" "$folder/vizad.exe" && echo yes)" yes
    checkl "one product, the older" "$(products)" "VIZAD $version "
    checkl "still stopping, not killed" "$(query)" STOP_PENDING
    checkl "the server still runs" "$(slow_serving && echo yes)" yes
    # A run that begins while the service stops waits for the stop, and
    # leaves it stopped.
    msiexec rerun-stopping "/i \"$(winpath "$msi")\" /qn"
    checkl "exit status" "$status" 0
    checkl "stopped, no start tried" "$(query) $(logs "VIZAD: service ZUVO started") $(logs "ZUVO did not start")" \
        "STOPPED 0 0"
    checkl "exit code" "$(sed -n 's/^ *WIN32_EXIT_CODE *: *\([0-9]*\).*/\1/p' "$dir/query.txt")" 0
    checkl "the stop ran to its end" "$(stops)" 1
    slow_script
    sc start ZUVO || :
    checkl "the older version runs again" "$(wait_for $FIRST_BEAT_WITHIN slow_serving && echo yes)" yes
    checkl "an account of the administrator's" "$(service_config 'NT AUTHORITY\LocalService')" \
        "start=2 preshutdown=300000 as NT AUTHORITY\LocalService"
    # Wine's msiexec has no MigrateFeatureStates: the features are named
    # again. The 45 s stop fits in the default wait: no restart is asked.
    msiexec upgrade "/i \"$(winpath "$newmsi")\" /qn ADDLOCAL=ALL"
    check_installed "$newexe" "$next"
    checkl "the stop ran to its end" "$(stops)" 2
    checkl "the example's folder is still the root" "$(variable)" "$winfolder\\example\\"
    checkl "the start type, timeout and account are kept" "$(service_config)" \
        "start=2 preshutdown=300000 as NT AUTHORITY\LocalService"
    checkl "running again, the newer vizad.exe" "$(wait_for $FIRST_BEAT_WITHIN beating "$example_log" && running &&
        echo yes)" yes
    checkl "the service's Environment is kept" "$(reg_value "$svckey" Environment)" 'SET_BY=admin\0OTHER=1'
    checkl "the stop deadline is kept" "$(deadline)" 0x14
    checkl "the description after the upgrade" "$(reg_value "$svckey" Description)" "set by the administrator"
    msiexec downgrade "/i \"$(winpath "$msi")\" /qn ADDLOCAL=ALL"
    checkl "exit status 1603" "$status" 1603
    checkl "the log says why" "$(logs 'A newer version of VIZAD is already installed')" 1
    checkl "the newer vizad.exe stays" "$(cmp -s "$newexe" "$folder/vizad.exe" && echo yes)" yes
    checkl "one product" "$(products)" "VIZAD $next "
    stop "stop the newer"
    # Removed while the slow stop runs.
    slow_script
    sc start ZUVO || :
    checkl "the newer version runs" "$(wait_for $FIRST_BEAT_WITHIN slow_serving && echo yes)" yes
    msiexec uninstall "/x \"$(winpath "$newmsi")\" /qn"
    check_removed
    checkl "the stop ran to its end" "$(stops)" 3
    checkl "no slow server left" "$(slow_serving || echo none)" none
    # Going back as the guide says, from the newer version installed again:
    # its script finds the installed version's product code by the upgrade
    # code; that version is removed by it, and the older package installed,
    # from C:\deploy.
    # An upgrade of a stopped service leaves it stopped.
    msiexec older-again "/i \"$(winpath "$msi")\" /qn"
    msiexec upgrade-stopped "/i \"$(winpath "$newmsi")\" /qn"
    checkl "one product, the newer" "$(products)" "VIZAD $next "
    checkl "still stopped, no start tried" "$(query) $(logs "VIZAD: service ZUVO started") $(logs "ZUVO did not start")" \
        "STOPPED 0 0"
    mkdir -p "$drive/deploy" "$drive/Ulvane"
    cp "$msi" "$drive/deploy/"
    block product-script | sed 's/$/\r/' >"$drive/deploy/vizad-product.vbs"
    guide product product
    installed=$(tr -d '\r' <"$dir/product.out" | grep '^{' || :)
    checkl "the guide's script names the installed product" "$installed" \
        "$(msiinfo export "$newmsi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p') $next"
    guide rollback rollback "s/{PRODUCT-CODE}/${installed%% *}/;s/{OLDER-VERSION}/$version/"
    checkl "both lines exit 0" "$codes" "0 0 "
    checkl "the older vizad.exe" "$(cmp -s "$exe" "$folder/vizad.exe" && echo yes)" yes
    checkl "one product" "$(products)" "VIZAD $version "
    checkl "the guide's root" "$(variable)" 'C:\Ulvane'
    msiexec uninstall "/x \"$(winpath "$msi")\" /qn"
    check_removed
    guide product-none product
    checkl "the guide's script names no product" "$(tr -d '\r' <"$dir/product-none.out" | grep -c '^{')" 0
    # An upgrade that fails once the older product is gone leaves no mark.
    mkdir -p "$dir/next" && (cd "$dir/next" && cmake -E tar xf "$src/build/i686/vizad-$next-win32.zip")
    sh "$srcdir/packaging/msi.sh" "$dir/next" "$src/build/i686/bin/vizad-msi.dll" "$next" 315619200 \
        "$dir/failing.msi" yes
    msiexec older-once-more "/i \"$(winpath "$msi")\" /qn"
    msiexec failed-upgrade "/i \"$(winpath "$dir/failing.msi")\" /qn"
    checkl "failed" "$(echo "$status" | sed 's/^\(1603\|1627\)$/failed/') $(logs 'ForcedUpgradeFailure. Return value')" "failed 1"
    checkl "no mark left" "$(reg_value 'HKLM\Software\Wow6432Node\VIZAD' Upgrading)" none
    ;;
rollback)
    # The same files, with a last step that fails.
    failing=$dir/failing.msi
    sh "$srcdir/packaging/msi.sh" "$dir/unzipped" "$bindir/bin/vizad-msi.dll" "$version" 315619200 "$failing" yes
    mkdir -p "$drive/Ulvane/bin"
    cp "$dir/unzipped/example/bin/"* "$drive/Ulvane/bin/"
    msiexec install "/i \"$(winpath "$failing")\" /qn ADDLOCAL=ALL ZOVOVEV=C:\\Ulvane STARTTYPE=auto"
    # Windows returns 1603 for a failed custom action, Wine 1627.
    checkl "exit status 1603 or 1627" "$(echo "$status" | sed 's/^\(1603\|1627\)$/failed/')" failed
    # Windows logs a failed action's return value as 3, Wine as 0.
    checkl "the failure was the forced one" "$(grep -c 'ForcedFailure\. Return value [03]' "$log")" 1
    checkl "the service that the install started was stopped" "$(logs 'VIZAD: service ZUVO started') $(
        wait_for $STOP_WITHIN server_gone && echo 'no server left')" "1 no server left"
    checkl "no service" "$(gone)" gone
    checkl "no folder" "$([ -e "$folder" ] || echo none)" none
    checkl "no variable" "$(variable)" none
    checkl "no saved root" "$(reg_value 'HKLM\Software\Wow6432Node\VIZAD' ZOVOVEV)" none
    checkl "no product" "$(products)" none
    ;;
*)
    echo "usage: installer.sh example|root|refused|upgrade|rollback BINARY_DIR VERSION SOURCE_DIR FIXTURE_EXE" >&2
    exit 2
    ;;
esac
exit $fail
