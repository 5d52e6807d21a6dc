#!/usr/bin/env bash
# Builds the release packages from one source tree:
#   dist/vantrel-<version>-windows-x86_64.zip  (vantrel.exe, vtl.ini, README.md)
#   dist/vantrel-<version>-linux-x86_64.tar.gz (vantrel, vtl.ini, README.md,
#                                               vantrel.service, logrotate)
# The version is the project version of CMakeLists.txt, which is also the
# one the banner shows.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -nE 's/^project\(Vantrel VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
banner=$(sed -nE 's/.*ProductVersion = "([0-9.]+)".*/\1/p' app/Banner.h | head -n 1)
if [[ -z "$version" || "$version" != "$banner" ]]; then
    echo "dist.sh: version mismatch: CMakeLists.txt says '$version', the banner '$banner'" >&2
    exit 1
fi

jobs=${JOBS:-2}
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target vantrel
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs" --target vantrel

out=dist
rm -rf "$out"
mkdir -p "$out"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# CR LF, so that Notepad shows the Windows copy as lines; the Linux copy
# loses the CRs below.
sample() {
    local lines=(
        '[Connection]'
        'Port=3128'
        'MaxConnections=4096'
        '[Authorization]'
        'User='
        'Password='
        '[General]'
        'SleepTime=100'
        'RequestTimeout=60'
        'IdleTimeout=300'
        'ConnectTimeout=30'
        'HoldLimit=1024'
        '[Access]'
        '; Tunnels (CONNECT) are for HTTPS, on port 443. Tunnels to other ports'
        '; would let clients reach mail servers and other services through the'
        '; proxy. The other access keys are described in README.md.'
        'ConnectPorts=443'
    )
    printf '%s\r\n' "${lines[@]}" >"$1"
}

win="$stage/vantrel-$version-windows-x86_64"
mkdir -p "$win"
cp build/mingw/vantrel.exe "$win/"
sample "$win/vtl.ini"
cp README.md "$win/"
(cd "$stage" && python3 -m zipfile -c "$OLDPWD/$out/$(basename "$win").zip" "$(basename "$win")")

lin="$stage/vantrel-$version-linux-x86_64"
mkdir -p "$lin"
cp build/release/vantrel "$lin/"
strip "$lin/vantrel" 2>/dev/null || true
sample "$lin/vtl.ini"
sed -i 's/\r$//' "$lin/vtl.ini"
cp README.md "$lin/"
cp tools/vantrel.service "$lin/"
cp tools/logrotate "$lin/"
tar -C "$stage" -czf "$out/$(basename "$lin").tar.gz" "$(basename "$lin")"

ls -l "$out"
