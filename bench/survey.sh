#!/usr/bin/env bash
# The survey's speed: keymaps a minute at -J1, -J2, -J4 and -J8 over the
# same keymaps, in one run, with the processor time it took (keymon-compare
# and everything it started and reaped: Xorg, keymon, setxkbmap), and where
# the time of a keymap goes (KEYMON_COMPARE_TIMES, summed over the jobs).
# Usage: bash bench/survey.sh [LAYOUTS [SESSION]]   (default: de,fr,us,ru,gb x11)
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages "${monitor_packages[@]}"
configure_and_build "$build" -DBUILD_TESTING=OFF >/dev/null
layouts=${1:-de,fr,us,ru,gb}
session=${2:-x11}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "keymon-compare --every-layout=$layouts --session $session, $(nproc) processors"
echo
echo "| jobs | keymaps | wall s | keymaps a minute | processor s (share of all cores) | per keymap: server start, layout load, keymon start, typing, confirmation waits, keymon end (ms, summed over jobs) |"
echo "|---:|---:|---:|---:|---:|---|"
for jobs in 1 2 4 8; do
    start=$(date +%s.%N)
    KEYMON_COMPARE_TIMES=1 /usr/bin/time -f '%U %S' -o "$work/cpu" \
        "$build/compare/keymon-compare" --every-layout="$layouts" --session "$session" -J"$jobs" \
        >"$work/out" 2>"$work/err" || [ $? -eq 1 ]
    end=$(date +%s.%N)
    keymaps=$(grep -cE '^[^ ]+ +([0-9]+ keys typed|failed: )' "$work/out")
    times=$(sed -n 's/^keymon-compare: times: //p' "$work/err")
    awk -v j="$jobs" -v n="$keymaps" -v s="$start" -v e="$end" -v cores="$(nproc)" -v t="$times" \
        -v cpu="$(tail -n 1 "$work/cpu")" 'BEGIN {
        wall = e - s; split(cpu, c, " "); used = c[1] + c[2]
        count = split(t, parts, ", "); per = ""
        for (i = 1; i <= count; ++i) { split(parts[i], f, " "); v = f[length(f) - 1]; per = per (i > 1 ? ", " : "") sprintf("%.0f", v * 1000 / n) }
        printf "| %d | %d | %.1f | %.1f | %.1f (%.0f%%) | %s |\n", j, n, wall, n * 60 / wall, used, 100 * used / wall / cores, per }'
done
