#!/usr/bin/env bash
# wine_smoke.sh: runs the Windows build of vantrel under wine and relays a GET
# and a CONNECT through it with curl to a local python3 http.server.
#   tests/e2e/wine_smoke.sh PATH/TO/vantrel.exe [WINE64-LOADER]
# The loader defaults to wine64 from PATH or Debian's /usr/lib/wine/wine64.
# Everything (program copy, vtl.ini, wine prefix) lives in one temp dir that
# is removed at the end; exits non-zero when a check fails.
set -euo pipefail

if (($# < 1 || $# > 2)); then
    echo "usage: $0 PATH/TO/vantrel.exe [WINE64-LOADER]" >&2
    exit 2
fi
exe=$1
wine=${2:-}
if [[ -z "$wine" ]]; then
    wine=$(command -v wine64 || true)
    [[ -n "$wine" ]] || wine=/usr/lib/wine/wine64
fi
for tool in curl python3 "$wine"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "wine_smoke: $tool not found" >&2
        exit 2
    fi
done
if [[ ! -f "$exe" ]]; then
    echo "wine_smoke: no program at $exe" >&2
    exit 2
fi

# The first start of wine in a fresh prefix takes a long while.
readonly listen_limit=90
readonly curl_limit=20

work=$(mktemp -d /tmp/vtl-wine-smoke.XXXXXX)
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No Mono/Gecko installer prompts while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineserver="$(dirname "$(readlink -f "$wine")")/wineserver"
[[ -x "$wineserver" ]] || wineserver=$(command -v wineserver || true)

origin_pid=
program_pid=
cleanup() {
    local rc=$?
    if [[ -n "$program_pid" ]]; then
        # setsid made the program the leader of its own group.
        kill -TERM -- "-$program_pid" 2>/dev/null || true
    fi
    if [[ -n "$wineserver" ]]; then
        "$wineserver" -k 2>/dev/null || true
        timeout 20 "$wineserver" -w 2>/dev/null || true
    fi
    if [[ -n "$program_pid" ]]; then
        kill -KILL -- "-$program_pid" 2>/dev/null || true
        wait "$program_pid" 2>/dev/null || true
    fi
    if [[ -n "$origin_pid" ]]; then
        kill "$origin_pid" 2>/dev/null || true
        wait "$origin_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])'
}

listening() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "wine_smoke: ok: $what"
    else
        failed=$((failed + 1))
        echo "wine_smoke: FAILED: $what" >&2
    fi
}

show_output() {
    echo "--- program stdout ---" >&2
    cat "$work/app/stdout.txt" >&2 || true
    echo "--- program stderr ---" >&2
    cat "$work/app/stderr.txt" >&2 || true
}

proxy_port=$(free_port)
origin_port=$(free_port)

mkdir -p "$work/app" "$work/www"
cp "$exe" "$work/app/vantrel.exe"
printf '[Connection]\r\nPort=%s\r\n[General]\r\nSleepTime=100\r\n' "$proxy_port" >"$work/app/vtl.ini"
printf 'Hello through vantrel under wine\n' >"$work/www/hello.txt"
head -c 200000 /dev/urandom >"$work/www/tunnel.bin"

python3 -m http.server "$origin_port" --bind 127.0.0.1 --directory "$work/www" \
    </dev/null >"$work/origin.log" 2>&1 &
origin_pid=$!
for ((i = 0; i < 100; i++)); do
    listening "$origin_port" && break
    sleep 0.1
done
if ! listening "$origin_port"; then
    echo "wine_smoke: the origin server did not start" >&2
    exit 1
fi

(cd "$work/app" && exec setsid "$wine" ./vantrel.exe </dev/null >stdout.txt 2>stderr.txt) &
program_pid=$!

deadline=$((SECONDS + listen_limit))
until listening "$proxy_port"; do
    if ! kill -0 "$program_pid" 2>/dev/null; then
        echo "wine_smoke: the program ended before it listened" >&2
        show_output
        exit 1
    fi
    if ((SECONDS >= deadline)); then
        echo "wine_smoke: the program did not listen within ${listen_limit}s" >&2
        show_output
        exit 1
    fi
    sleep 0.2
done
echo "wine_smoke: listening on $proxy_port after $((SECONDS - deadline + listen_limit))s"

proxy="http://127.0.0.1:$proxy_port"
origin="http://127.0.0.1:$origin_port"

relayed_get() {
    curl -sS --max-time "$curl_limit" -x "$proxy" -o "$work/get.out" "$origin/hello.txt" &&
        cmp -s "$work/get.out" "$work/www/hello.txt"
}
relayed_connect() {
    curl -sS --max-time "$curl_limit" -p -x "$proxy" -o "$work/connect.out" "$origin/tunnel.bin" &&
        cmp -s "$work/connect.out" "$work/www/tunnel.bin"
}
logged_get() {
    # The GET was reported in the redirected log rows; the tunnel was not.
    # The Windows runtime writes its line ends as CR LF.
    local log
    log=$(tr -d '\r' <"$work/app/stdout.txt")
    grep -qx 'Request: 127\.0\.0\.1' <<<"$log" &&
        grep -qx 'Size: 33 Bytes' <<<"$log" &&
        [[ $(grep -c '^Request: ' <<<"$log") -eq 1 ]]
}

check "GET relayed" relayed_get
check "CONNECT tunnel relayed" relayed_connect
check "GET logged on the console" logged_get

if ((failed > 0)); then
    show_output
fi
echo "wine_smoke: $passed passed, $failed failed"
((failed == 0))
