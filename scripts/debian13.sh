#!/bin/sh
# Runs a command as root in a Debian 13 root (Wine 10), on a clean copy of
# this checkout, from a Debian 12 machine:
#   scripts/debian13.sh COMMAND [ARG...]   e.g. scripts/debian13.sh scripts/test.sh -R ConsoleRun
# The root is made with mmdebstrap from Debian's own packages, those that
# scripts/setup.sh names (about a minute and a half, 3.3 GB), in
# /var/cache/vizad/debian13, and made again only when that list names one it
# lacks; every checkout on the machine shares it. The copy holds the checkout's
# tracked files as they are in the working tree, in build/debian13/vizad,
# beside its own build tree (build/ in it, never the checkout's); the root
# sees it as /vizad, where the command starts. The run has mount and pid
# namespaces of its own: the binds (/proc, /dev, /sys, /vizad) and every
# process it started, wineserver included, end with the command, however it
# ends.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
. scripts/lanes.sh

cache=/var/cache/vizad
root=$cache/debian13
stamp=.vizad-made-with           # in the root: how it was made, and with what
copy=$top/$debian13_copy
LOCK_WITHIN=3600                 # s to wait for other checkouts' runs or making

say() { printf 'debian13: %s\n' "$*" >&2; }

[ $# -gt 0 ] || { echo "usage: scripts/debian13.sh COMMAND [ARG...]" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { say "run it as root"; exit 1; }
command -v mmdebstrap >/dev/null && command -v mount >/dev/null || ./scripts/setup.sh debian13

packages=$(./scripts/setup.sh --list | tr , ' ')
# The stamp says how the root was made (change this with make_root's options),
# then the packages it was made with.
made_how="trixie, amd64 and i386, variant apt, no recommends"
stamp_packages() { sed -n "s/^$made_how: //p" "$root/$stamp" 2>/dev/null | tr , ' '; }
# The root serves when it was made so with every package of the list.
current() {
    had=" $(stamp_packages) "
    for p in $packages; do
        case $had in *" $p "*) ;; *) return 1 ;; esac
    done
}

# True when anything is mounted at or under $1 in this mount namespace.
mounted_under() {
    awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}
remove_root() {
    [ -e "$1" ] || return 0
    if mounted_under "$1"; then
        say "something is mounted under $1: not removing it"
        exit 1
    fi
    rm -rf --one-file-system "$1"
}

make_root() {
    # With the packages it had too: checkouts whose lists differ (a branch
    # that adds one) then share it instead of making it again by turns.
    all=$(printf '%s\n' $packages $(stamp_packages) | sort -u | paste -sd , -)
    remove_root "$root.new"
    remove_root "$root.old"
    say "making the Debian 13 root in $root (about a minute and a half; its log: $cache/debian13.log)"
    # A mount namespace of its own: whatever mmdebstrap mounts goes with it.
    # Its apt update fails on an index that a mirror in sync serves with the
    # wrong size: then it is tried again, as scripts/setup.sh does.
    for wait in $fetch_waits; do
        if unshare --mount mmdebstrap --variant=apt --architectures=amd64,i386 \
                --aptopt='APT::Install-Recommends "false"' --include="$all" \
                trixie "$root.new" >"$cache/debian13.log" 2>&1; then
            break
        fi
        tail -n 20 "$cache/debian13.log" >&2
        remove_root "$root.new"
        if [ "$wait" = - ] || ! grep -q 'Failed to fetch' "$cache/debian13.log"; then
            say "FAILED to make the root; when the lines above say a mirror is in sync" \
                "or an index failed, run this again in a few minutes"
            exit 1
        fi
        say "an index failed to download; trying again in $wait s"
        sleep "$wait"
    done
    mkdir "$root.new/vizad"
    printf '%s: %s\n' "$made_how" "$all" >"$root.new/$stamp"
    [ ! -e "$root" ] || mv "$root" "$root.old"
    mv "$root.new" "$root"
    remove_root "$root.old"
}

# Runs hold the lock shared; making or replacing the root holds it alone.
mkdir -p "$cache"
exec 9>>"$cache/debian13.lock"
flock -s -w "$LOCK_WITHIN" 9 || { say "the root stayed locked for $LOCK_WITHIN s"; exit 1; }
if ! current; then
    flock -x -w "$LOCK_WITHIN" 9 || { say "the root stayed in use for $LOCK_WITHIN s"; exit 1; }
    current || make_root
    flock -s 9
fi

# The clean copy: everything but its build tree goes, then the tracked files
# come back with their times, so that the build redoes only what changed.
# One run at a time uses it.
mkdir -p "$copy"
exec 8>"$copy/../copy.lock"
flock -n 8 || { say "another run of this checkout uses $debian13_copy"; exit 1; }
find "$copy" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # A tracked file deleted in the working tree stays out.
    git ls-files -z | tar --null -T - --ignore-failed-read --warning=no-failed-read -cf - |
        tar -xf - -C "$copy"
else
    tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$copy"
fi

# Inside the namespaces, as their first process: binds what Wine needs, runs
# the command in the root and reaps whatever Wine leaves to it while it waits.
# When it ends, the kernel ends every other process of the namespace and
# drops its mounts. The command runs in the foreground: started with & it
# would ignore Ctrl+C for good. This shell outlives a Ctrl+C and returns the
# command's status.
inside='
set -eu
root=$1 copy=$2
shift 2
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
mount -t tmpfs tmpfs "$root/tmp"
mount --bind "$copy" "$root/vizad"
trap : INT
status=0
chroot "$root" /usr/bin/env -i HOME=/root \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${CI+"CI=$CI"} ${TERM+"TERM=$TERM"} ${LANG+"LANG=$LANG"} ${LC_ALL+"LC_ALL=$LC_ALL"} \
    ${VIZAD_WINEDEBUG+"VIZAD_WINEDEBUG=$VIZAD_WINEDEBUG"} \
    ${CTEST_PARALLEL_LEVEL+"CTEST_PARALLEL_LEVEL=$CTEST_PARALLEL_LEVEL"} \
    sh -c "cd /vizad && exec \"\$@\"" sh "$@" 8>&- 9>&- || status=$?
exit "$status"
'
exec unshare --mount --propagation private --pid --fork --kill-child \
    sh -c "$inside" sh "$root" "$copy" "$@"
