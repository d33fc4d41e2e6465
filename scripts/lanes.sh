# The lanes of the test and bench commands, sourced by the scripts here.
# A Debian 12 machine has two: its own (Wine 8) and a Debian 13 root's
# (Wine 10, run through scripts/debian13.sh). A Debian 13 machine, or the
# root itself, has its own only. VIZAD_LANES=local leaves the second lane
# out; CI (CI=true) always runs both.

release=$(. /etc/os-release && printf '%s %s' "${ID:-}" "${VERSION_ID:-}")

# Where scripts/debian13.sh keeps the clean copy of this checkout that it
# runs in the root, with the copy's own build tree inside it.
debian13_copy=build/debian13/vizad

# Seconds to wait before each new try of a download of Debian's package
# lists (a mirror in sync fails one for a few minutes); "-" ends the tries.
fetch_waits="15 30 60 -"

wine10_lane() {
    [ "$release" = "debian 12" ] || return 1
    [ "${CI:-}" != true ] || return 0
    case ${VIZAD_LANES:-all} in
    all) return 0 ;;
    local) return 1 ;;
    *)
        echo "VIZAD_LANES is '$VIZAD_LANES': say all (the default) or local" >&2
        exit 2
        ;;
    esac
}

# This machine's lane, as the closing lines name it.
local_lane() {
    case $release in
    "debian 12") echo "Wine 8 lane (Debian 12)" ;;
    "debian 13") echo "Wine 10 lane (Debian 13)" ;;
    *) echo "lane ($release)" ;;
    esac
}

# Whether this machine's kernel runs 32-bit Linux programs, which Wine needs
# for 32-bit Windows ones: some virtual machines' kernels refuse them
# ("Exec format error"), and then no i686 test program can start.
runs_32bit() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Where such a machine finds wine and wineboot: 64-bit Wine's own loader,
# which runs the x86_64 build's programs.
wine64_shim() {
    shim=$1
    mkdir -p "$shim"
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$shim/wine"
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 wineboot.exe "$@"\n' >"$shim/wineboot"
    chmod +x "$shim/wine" "$shim/wineboot"
}
