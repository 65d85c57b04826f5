#!/usr/bin/env bash
# The survey's speed against its three goals, in one run:
#  1. at the default jobs, wall time against the processor time of all its
#     processes (keymon-compare and everything it started and reaped: Xorg,
#     keymon, setxkbmap) divided by the processors (goal: at most 1.2);
#  2. processor time per key typed per runtime, and whose it is: keymon's
#     (as keymon-compare reaped each), keymon-compare's own, the rest (Xorg
#     and the tools);
#  3. with ALL=1, the whole registry on three release stacks in the Xorg
#     session (goal: under 4 minutes).
# The runtimes are three whole stacks, fetched first: Debian 12's classic,
# Debian 13's and unstable's (goals: each fetched in under 30 s, each at
# most 40 MB).
# Then keymaps a minute at -J1, -J2, -J8 and the default, and where a
# keymap's time goes (KEYMON_COMPARE_TIMES, summed over the jobs).
# Usage: [ALL=1] bash bench/survey.sh [LAYOUTS [SESSION]]   (default: de,fr,us,ru,gb x11)
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages "${monitor_packages[@]}"
configure_and_build "$build" -DBUILD_TESTING=OFF >/dev/null
layouts=${1:-de,fr,us,ru,gb}
session=${2:-x11}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
compare="$build/compare/keymon-compare"
export XDG_CACHE_HOME="$work/cache"
stacks="$XDG_CACHE_HOME/keymon/runtimes"
for name in classic debian13 unstable; do
    start=$(date +%s.%N)
    "$compare" --fetch-runtime "$name" >/dev/null
    echo "fetched $name in $(echo "$(date +%s.%N) - $start" | bc | xargs printf %.1f) s, $(du -sm "$stacks/$name" | cut -f1) MB (goals: under 30 s, at most 40 MB)"
done
echo
# classic by its folder: by name alone it would be this system's.
runtimes=(--runtime classic="$stacks/classic" --runtime debian13 --runtime unstable)

# survey JOBS KEYMAPS-OPTION: one timed run; sets wall, cpu, keys, keymaps, own, keymon_cpu, times.
survey() {
    local jobs=$1 which=$2
    local start end
    start=$(date +%s.%N)
    KEYMON_COMPARE_TIMES=1 /usr/bin/time -f '%U %S' -o "$work/cpu" \
        "$compare" --keymon "$build/keymon/keymon" "${runtimes[@]}" "$which" --session "$session" ${jobs:+-J"$jobs"} \
        >"$work/out" 2>"$work/err" || [ $? -le 2 ]
    end=$(date +%s.%N)
    wall=$(echo "$end - $start" | bc)
    cpu=$(tail -n 1 "$work/cpu" | awk '{ print $1 + $2 }')
    keys=$(awk '/ keys typed/ { for (i = 1; i < NF; ++i) if ($(i + 1) == "keys") { s += $i; break } } END { print s + 0 }' "$work/out")
    keymaps=$(grep -cE '^[^ ]+( \+[^ ]+)? +([0-9]+ keys typed|failed: )' "$work/out")
    times=$(sed -n 's/^keymon-compare: times: //p' "$work/err")
    own=$(echo "$times" | sed -n 's/.*own processor time \([0-9.]*\) s user, \([0-9.]*\) s system.*/\1 \2/p' | awk '{ print $1 + $2 }')
    keymon_cpu=$(echo "$times" | sed -n 's/.*keymon processor time \([0-9.]*\) s.*/\1/p')
}

cores=$(nproc)
echo "keymon-compare --every-layout=$layouts --session $session ${runtimes[*]}, $cores processors"
echo
survey "" "--every-layout=$layouts"
echo "At the default jobs: $keymaps keymaps, $keys keys typed on each of 3 runtimes, wall $(printf %.1f "$wall") s,"
echo "processor $(printf %.1f "$cpu") s: wall / (processor / processors) = $(echo "$wall / ($cpu / $cores)" | bc -l | xargs printf %.2f) (goal: at most 1.2)."
echo "Processor time per key typed per runtime: $(echo "$cpu * 1000 / ($keys * 3)" | bc -l | xargs printf %.3f) ms, of which keymon" \
     "$(echo "$keymon_cpu * 100 / $cpu" | bc -l | xargs printf %.0f)%, keymon-compare's own $(echo "$own * 100 / $cpu" | bc -l | xargs printf %.0f)%," \
     "Xorg and the tools $(echo "($cpu - $keymon_cpu - $own) * 100 / $cpu" | bc -l | xargs printf %.0f)%."
if [ "${ALL:-0}" = 1 ]; then
    survey "" "--every-layout"
    echo "The whole registry: $keymaps keymaps, $keys keys typed on each of 3 runtimes, wall $(printf %.1f "$wall") s (goal: under 240 s)," \
         "processor $(printf %.1f "$cpu") s."
fi
echo
echo "| jobs | keymaps | wall s | keymaps a minute | processor s (share of all cores) | per keymap: server start, layout load, keymon start, typing, confirmation waits, keymon end (ms, summed over jobs) |"
echo "|---:|---:|---:|---:|---:|---|"
for jobs in 1 2 8 ""; do
    survey "$jobs" "--every-layout=$layouts"
    awk -v j="${jobs:-default}" -v n="$keymaps" -v wall="$wall" -v cores="$cores" -v t="${times%%;*}" -v used="$cpu" 'BEGIN {
        count = split(t, parts, ", "); per = ""
        for (i = 1; i <= count; ++i) { split(parts[i], f, " "); v = f[length(f) - 1]; per = per (i > 1 ? ", " : "") sprintf("%.0f", v * 1000 / n) }
        printf "| %s | %d | %.1f | %.1f | %.1f (%.0f%%) | %s |\n", j, n, wall, n * 60 / wall, used, 100 * used / wall / cores, per }'
done
