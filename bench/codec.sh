#!/usr/bin/env bash
# The codec against ICU, utf8proc, utfcpp and glibc, measured in one run on
# the same inputs: one table of routine x input, our throughput, the best
# peer's, and the ratio ours/best. Every benchmark runs REPETITIONS times
# (default 10), interleaved at random with the others so that a noisy spell
# of the machine falls on all of them alike, and the table shows each one's
# fastest repetition: on a shared virtual machine noise only ever slows a
# run down, and it moves single runs by a third.
# KEYMON_BENCH_CXXFLAGS adds compiler flags in a build folder of their own:
# bench/codec_spread.sh uses it to place the same code differently.
# Usage: bash bench/codec.sh [REPETITIONS [FILTER]]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages g++ cmake make pkg-config "${bench_packages[@]}"
extra=${KEYMON_BENCH_CXXFLAGS:-}
dir="$root/build-bench${extra:+-$(echo "$extra" | tr -c 'a-z0-9\n' '_')}"
configure_and_build "$dir" -DKEYMON_PROGRAM=OFF -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="$extra" >/dev/null
[ -x "$dir/bench/codec_bench" ] || { echo "codec_bench was not built" >&2; exit 1; }

echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; g++ $(g++ -dumpfullversion) -O2 $extra"
"$dir/bench/codec_bench" --benchmark_format=csv --benchmark_repetitions="${1:-10}" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.05 --benchmark_filter="${2:-.}" 2>/dev/null |
awk -F, '
    BEGIN {
        n = split("utf8_get_char utf8_is_valid utf8_put_char utf8_put_char.guaranteed utf16_get_char " \
                  "utf16_swapped_get_char utf16_put_char utf16_put_char.guaranteed utf16_swapped_put_char " \
                  "utf16_swapped_put_char.guaranteed", routines, " ")
        m = split("ascii compose cyrillic cjk emoji", inputs, " ")
    }
    NR > 1 && $1 !~ /_(mean|median|stddev|cv)"$/ {
        name = $1; gsub(/"/, "", name)
        split(name, part, "/"); key = part[1] "/" part[2]
        gbs = $6 / 1e9
        if (part[3] == "ours") { if (gbs > ours[key]) ours[key] = gbs }
        else if (part[3] == "strlen" || part[3] == "icu-native" || part[3] ~ /-unchecked$/) {
            if (!((key, part[3]) in refbest)) refs[key] = refs[key] " " part[3]
            if (gbs > refbest[key, part[3]]) refbest[key, part[3]] = gbs
        }
        else if (gbs > best[key]) { best[key] = gbs; peer[key] = part[3] }
    }
    END {
        printf "| routine | input | ours GB/s | best peer | its GB/s | ours/best |\n|---|---|---:|---|---:|---:|\n"
        for (i = 1; i <= n; ++i) for (j = 1; j <= m; ++j) {
            k = routines[i] "/" inputs[j]
            if (!(k in ours)) continue
            note = ""
            if (k in refs) {
                split(substr(refs[k], 2), names, " ")
                for (r = 1; r in names; ++r) note = note sprintf("%s%s: %.2f", r == 1 ? " (" : ", ", names[r], refbest[k, names[r]])
                note = note ")"
            }
            printf "| %s | %s | %.2f | %s | %.2f | %.2f%s |\n", routines[i], inputs[j], ours[k], peer[k], best[k], ours[k] / best[k], note
        }
    }'
