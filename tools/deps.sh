#!/usr/bin/env bash
# Makes sure the Debian packages a build needs are installed:
#   tools/deps.sh native|win|bench|tools|ci ...
# As root it installs what is missing (non-interactive); otherwise it names
# the missing packages and fails, so that the build stops with a clear hint.
set -euo pipefail

native=(cmake g++ make libgtest-dev googletest)
win=(cmake make googletest g++-mingw-w64-x86-64-posix wine64 wine)
bench=(cmake g++ make libbenchmark-dev)
# The programs the end-to-end tests drive as clients and origin servers.
tools=(curl python3 openssl apache2-utils nginx-light fcgiwrap git prometheus)
ci=("${native[@]}" "${win[@]}" "${bench[@]}" "${tools[@]}" clang libclang-rt-14-dev procps)

wanted=()
for group in "${@:-native}"; do
    case "$group" in
        native) wanted+=("${native[@]}") ;;
        win) wanted+=("${win[@]}") ;;
        bench) wanted+=("${bench[@]}") ;;
        tools) wanted+=("${tools[@]}") ;;
        ci) wanted+=("${ci[@]}") ;;
        *) echo "deps.sh: unknown group '$group' (native, win, bench, tools, ci)" >&2; exit 2 ;;
    esac
done

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "deps.sh: not a Debian system; make sure these are installed: ${wanted[*]}" >&2
    exit 0
fi

missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    if [[ "$status" != installed && " ${missing[*]-} " != *" $pkg "* ]]; then
        missing+=("$pkg")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

if ((EUID != 0)); then
    echo "deps.sh: missing packages: ${missing[*]}" >&2
    echo "deps.sh: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
fi

echo "deps.sh: installing ${missing[*]}"
# Package scripts start the services they install (nginx on port 80, and
# fcgiwrap) where an init system lets them; a machine that only runs tests
# must not be left with such daemons. A policy that refuses every start
# holds during the install, unless the machine has a policy of its own.
policy=/usr/sbin/policy-rc.d
if [[ ! -e "$policy" ]]; then
    trap 'rm -f "$policy"' EXIT
    trap 'exit 130' INT TERM HUP
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
fi
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-q -y -o Dpkg::Use-Pty=0 -o Acquire::Retries=3)
apt-get "${apt_opts[@]}" update >/dev/null
apt-get "${apt_opts[@]}" install --no-install-recommends "${missing[@]}" </dev/null >/dev/null
echo "deps.sh: installed ${missing[*]}"
