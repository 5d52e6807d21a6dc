#!/usr/bin/env bash
# Checks that includes go down the layers only:
#   base <- net <- io <- server <- proxy <- app
# A file in a layer (or in that layer's test folder, tests/<layer>) may
# include its own layer and those below it; tests may also use the shared
# test support and their own layer's test helpers. The platform stacks of
# net/ stay inside net/ (and its tests): everything above sees TIdStack and
# TIdSocketHandle only. The shared test support (tests/support) is held to
# the net layer, so that every test folder may use it, except its program
# runner (Program.*), which starts the whole program and is held to app.
# Reads the sources, needs no build; prints every offending line as
# file:line: text and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(base net io server proxy app)
private_net='net/(IdStackBSDBase|IdStackPosix|IdStackWindows|IdSocketApi)\.h'

rank() {
    local i
    for i in "${!layers[@]}"; do
        if [[ ${layers[$i]} == "$1" ]]; then
            echo "$i"
            return
        fi
    done
    echo -1
}

# The layer a file of tests/support belongs to.
support_layer() {
    case $(basename "$1") in
    Program.*) echo app ;;
    *) echo net ;;
    esac
}

failures=0
report() {
    echo "$1: $2" >&2
    failures=$((failures + 1))
}

# Checks the includes of one file that belongs to layer own.
check_file() {
    local file=$1 own=$2 line number text target target_rank own_rank
    own_rank=$(rank "$own")
    while IFS= read -r line; do
        number=${line%%:*}
        text=${line#*:}
        target=$(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' <<<"$text")
        [[ -n $target ]] || continue
        local first=${target%%/*}
        if [[ $first == tests ]]; then
            # Test helpers: the shared support, or a layer's own at or below this one.
            local helper_layer
            helper_layer=$(cut -d/ -f2 <<<"$target")
            if [[ $file != tests/* ]]; then
                report "$file:$number" "product code includes a test helper: $text"
            elif [[ $helper_layer == support ]]; then
                if (($(rank "$(support_layer "$target")") > own_rank)); then
                    report "$file:$number" "includes test support of a layer above $own: $text"
                fi
            elif (($(rank "$helper_layer") > own_rank)); then
                report "$file:$number" "includes the test helpers of a layer above ($helper_layer): $text"
            fi
            continue
        fi
        target_rank=$(rank "$first")
        ((target_rank >= 0)) || continue
        if ((target_rank > own_rank)); then
            report "$file:$number" "includes from $first, a layer above $own: $text"
        fi
        if [[ $own != net && $target =~ ^$private_net$ ]]; then
            report "$file:$number" "includes a platform stack of net/ from outside it: $text"
        fi
    done < <(grep -n '#[[:space:]]*include' "$file" || true)
}

sources() {
    [[ -d $1 ]] || return 0
    find "$1" -type f \( -name '*.h' -o -name '*.cpp' \) | sort
}

for layer in "${layers[@]}"; do
    for folder in "$layer" "tests/$layer"; do
        while IFS= read -r file; do
            check_file "$file" "$layer"
        done < <(sources "$folder")
    done
done
while IFS= read -r file; do
    check_file "$file" "$(support_layer "$file")"
done < <(sources tests/support)

if ((failures > 0)); then
    echo "check_layers: $failures include(s) against the layering" >&2
    exit 1
fi
echo "check_layers: every include goes down the layers"
