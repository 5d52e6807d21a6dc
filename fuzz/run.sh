#!/usr/bin/env bash
# Builds the libFuzzer targets (VTL_FUZZ=ON, clang) into build/fuzz and runs
# each for FUZZ_SECONDS (default 30) on a scratch copy of its seed corpus, so
# the committed corpus never changes. One summary line per target; exits
# non-zero when any target crashes, hangs or breaks an invariant.
#
#   fuzz/run.sh [--replay] [target ...]
#     --replay   run every committed seed once (no fuzzing): a quick check
#                that no known input fails any more
#     target     e.g. uri_fuzzer; default: all of them
#   Environment: FUZZ_SECONDS (30), FUZZ_JOBS (build jobs, 2), CXX (clang++),
#                FUZZ_ARGS (extra libFuzzer flags, e.g. "-max_len=8192").
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
seconds="${FUZZ_SECONDS:-30}"
jobs="${FUZZ_JOBS:-2}"
all_targets=(command_dispatch_fuzzer header_list_fuzzer uri_fuzzer credentials_fuzzer
             integer_fuzzer profile_reader_fuzzer ipv6_fuzzer read_line_fuzzer http_framing_fuzzer)

replay=0
targets=()
for arg in "$@"; do
    case "$arg" in
        --replay) replay=1 ;;
        -h|--help) sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) targets+=("$arg") ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all_targets[@]}")
fi

if ! grep -q 'add_subdirectory(fuzz)' "$root/CMakeLists.txt"; then
    echo "run.sh: the top-level CMakeLists.txt does not add fuzz/ under VTL_FUZZ" >&2
    exit 2
fi

cmake -S "$root" -B "$build" -DVTL_FUZZ=ON -DVTL_TESTS=OFF -DCMAKE_CXX_COMPILER="${CXX:-clang++}" >/dev/null
cmake --build "$build" --target vtl_fuzzers -j "$jobs" >"$build/build.log" 2>&1 || {
    tail -n 40 "$build/build.log" >&2
    echo "run.sh: build failed (full log: $build/build.log)" >&2
    exit 2
}
bin="$build/fuzz"

work="$(mktemp -d "${TMPDIR:-/tmp}/vtl-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
failed=0

for target in "${targets[@]}"; do
    if [ ! -x "$bin/$target" ]; then
        echo "$target: unknown target" >&2
        failed=1
        continue
    fi
    seeds="$root/fuzz/corpus/$target"
    log="$work/$target.log"

    if [ "$replay" -eq 1 ]; then
        # Files given one by one are only executed, never added to or written.
        shopt -s nullglob
        files=("$seeds"/*)
        shopt -u nullglob
        if [ ${#files[@]} -eq 0 ]; then
            printf '%-24s no seeds\n' "$target"
            continue
        fi
        if "$bin/$target" "${files[@]}" >"$log" 2>&1; then
            printf '%-24s ok      %3d seeds replayed\n' "$target" "${#files[@]}"
        else
            failed=1
            printf '%-24s FAILED  %s\n' "$target" "$(grep -m1 -E 'Running:|invariant broken|ERROR:' "$log" || true)"
            grep -E -A2 'invariant broken|ERROR:|SUMMARY' "$log" | head -n 12 >&2 || true
        fi
        continue
    fi

    corpus="$work/$target.corpus"
    mkdir -p "$corpus" "$work/$target.artifacts"
    cp -r "$seeds/." "$corpus/" 2>/dev/null || true
    before=$(find "$corpus" -type f | wc -l)
    # shellcheck disable=SC2086  # FUZZ_ARGS is a list of flags
    if "$bin/$target" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
            -artifact_prefix="$work/$target.artifacts/" ${FUZZ_ARGS:-} "$corpus" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        after=$(find "$corpus" -type f | wc -l)
        coverage=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' "$log" | tail -n 1)
        printf '%-24s ok      %9s runs in %ss, corpus %d -> %d, coverage %s\n' \
            "$target" "${runs:-?}" "$seconds" "$before" "$after" "${coverage:-?}"
    else
        failed=1
        rm -rf "${artifacts:?}/${target:?}"
        mkdir -p "$artifacts/$target"
        cp "$work/$target.artifacts/"* "$artifacts/$target/" 2>/dev/null || true
        cp "$log" "$artifacts/$target/last.log"
        printf '%-24s FAILED  %s (input and log in %s)\n' "$target" \
            "$(grep -m1 -E 'invariant broken|ERROR: [A-Za-z]+' "$log" | cut -c1-120 || true)" "$artifacts/$target"
    fi
done

exit "$failed"
