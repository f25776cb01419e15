#!/usr/bin/env bash
# Checks that every include between the source folders points down the layer
# order, from the bottom:
#
#   xu < runtime < numerics < kernel < models < project < tools < main
#
# A unit may include its own folder and any folder below it. An include of a
# higher folder, or of a folder of the repository that is no layer, is named
# with its file, line and both folders, and the check fails (exit status 1).
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(xu runtime numerics kernel models project tools main)
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

present=()
for d in "${layers[@]}"; do [[ -d $d ]] && present+=("$d"); done

bad=0
while IFS= read -r hit; do
    # hit: path:line:#include "dir/..."
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    text=${rest#*:}
    from=${file%%/*}
    to=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    if [[ -z ${rank[$to]+set} ]]; then
        if [[ -d $to ]]; then
            echo "$file:$line: $from includes $to/, which is no layer" >&2
            bad=1
        fi
        continue
    fi
    if ((rank[$to] > rank[$from])); then
        echo "$file:$line: $from (layer $((rank[$from] + 1))) includes $to (layer $((rank[$to] + 1))), a higher layer" >&2
        bad=1
    fi
done < <(grep -rnE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "${present[@]}")

if ((bad)); then
    echo "Layer check failed: includes must point down ${layers[*]}" >&2
    exit 1
fi
echo "Layer check passed: ${layers[*]}"
