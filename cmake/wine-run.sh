#!/bin/sh
# Runs a Windows executable under wine for ctest and the build:
#   wine-run.sh WINE64-LOADER PREFIX PROGRAM.exe [ARGS...]
#   wine-run.sh WINE64-LOADER PREFIX --init    (only make the prefix)
# Keeps wine quiet, its prefix inside the build tree and its start-up costs
# out of the tests.
set -eu

loader=$1
prefix=$2
shift 2

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono/Gecko installer dialogs while the prefix is made; console programs
# need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

server="$(dirname "$loader")/wineserver"
ready="$prefix/.vtl-ready"
mkdir -p "$(dirname "$prefix")"

# Making the prefix takes several seconds: once, under a lock, so that no
# test or test listing pays for it (the build does it, see tests/).
if [ ! -f "$ready" ]; then
    (
        flock 9
        if [ ! -f "$ready" ]; then
            "$loader" wineboot --init </dev/null >/dev/null 2>&1 9>&- || true
            # wineboot returns before the registry is on disk; the server
            # writes it when it exits.
            "$server" -w </dev/null >/dev/null 2>&1 9>&- || true
            if [ ! -d "$prefix/drive_c" ]; then
                echo "wine-run.sh: could not create the wine prefix $prefix" >&2
                exit 1
            fi
            : >"$ready"
        fi
    ) 9>"$prefix.lock"
fi
if [ "$#" -eq 0 ] || [ "$1" = "--init" ]; then
    exit 0
fi

# The first program of a wine session starts the session's background
# processes (services.exe, winedevice.exe ...), which inherit its standard
# output and live as long as the server: ctest, waiting for the end of that
# output, would see the test hang until its timeout.  So start the server
# (kept 30 s past the last program, to bridge gaps between tests) and the
# session here, detached from our output; `wineserver -p` fails when the
# prefix's server already runs.  (The lock's descriptor is closed for
# everything started under it: a server inheriting it would hold the lock.)
(
    flock 9
    if "$server" -p30 </dev/null >/dev/null 2>&1 9>&-; then
        "$loader" wineboot </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$prefix.lock"

exec "$loader" "$@"
