#!/usr/bin/env bash
# keymon's idle processor use, lost events in bursts of key events and
# latency, on each SDL 1.2 runtime, beside keymon built with two earlier
# event loops (one that never sleeps, one that polls for 5 ms after each
# event), all measured in one run.
# Usage: bash bench/monitor.sh [BURSTS [LATENCY_KEYS [IDLE_SECONDS]]]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages "${monitor_packages[@]}" "${test_packages[@]}"
configure_and_build "$build" -DBUILD_TESTING=ON >/dev/null
"$build/bench/keymon_bench" --bursts "${1:-20}" --latency "${2:-1000}" --idle "${3:-20}" \
    "keymon=$build/keymon/keymon" \
    "5 ms busy window=$build/bench/keymon_busy_window" \
    "never sleeping=$build/bench/keymon_spin"
