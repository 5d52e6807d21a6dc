#!/bin/sh
# Runs a Windows executable under wine for ctest and the build:
#   wine-run.sh WINE64-LOADER PREFIX PROGRAM.exe [ARGS...]
# The prefix is created once, under a lock, before the first program runs, so
# that no test (or test discovery) pays for wine's slow first start.
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

ready="$prefix/.vtl-ready"
if [ ! -f "$ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$ready" ]; then
            "$loader" wineboot --init >/dev/null 2>&1 || true
            # wineboot returns before the registry is on disk; the server
            # writes it when it exits.
            server="$(dirname "$loader")/wineserver"
            if [ -x "$server" ]; then
                "$server" -w || true
            fi
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
exec "$loader" "$@"
