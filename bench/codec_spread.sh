#!/usr/bin/env bash
# Where a loop lands in memory moves its speed by up to a third on this
# machine, ours and the peers' alike, so one build's ratio is not yet a
# property of the code. This builds the same benchmark three times, placed
# differently (function starts aligned to the default, 32 or 64 bytes),
# runs bench/codec.sh on each, and prints each row's ratio ours/best peer in
# every build and the lowest, then the default build's table.
# Usage: bash bench/codec_spread.sh [REPETITIONS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
layouts=("" "-falign-functions=32" "-falign-functions=64")
for i in "${!layouts[@]}"; do
    KEYMON_BENCH_CXXFLAGS="${layouts[$i]}" bash "$here/codec.sh" "${1:-10}" > "$out/$i.md"
done
echo "ours/best peer in each build (function starts: default, 32, 64 bytes):"
echo
echo "| routine | input | default | 32 | 64 | lowest |"
echo "|---|---|---:|---:|---:|---:|"
awk -F'|' '
    FNR == 1 { ++build }
    /^\| [a-z0-9_.]+ \| [a-z]+ \| [0-9]/ {
        key = $2 "|" $3
        split($7, r, " ")
        if (!(key in low)) { order[++n] = key; low[key] = r[1] + 0 }
        ratio[key, build] = r[1]
        if (r[1] + 0 < low[key]) low[key] = r[1] + 0
    }
    END {
        for (i = 1; i <= n; ++i) {
            k = order[i]
            printf "|%s| %s | %s | %s | %.2f |\n", k, ratio[k, 1], ratio[k, 2], ratio[k, 3], low[k]
        }
    }
' "$out"/0.md "$out"/1.md "$out"/2.md
echo
echo "The default build:"
echo
cat "$out/0.md"
