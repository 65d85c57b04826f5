#!/usr/bin/env bash
# Idle processor use and lost events in a 10,000-event burst, per runtime.
# Usage: bash bench/monitor.sh [IDLE_SECONDS [EVENTS [BATCH]]]
# BATCH > 0 sends that many events per round trip with no pacing, to show
# where SDL's event queue overflows.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
need_packages "${monitor_packages[@]}" "${test_packages[@]}"
configure_and_build "$build" -DBUILD_TESTING=ON >/dev/null
"$build/bench/keymon_bench" "$build/keymon/keymon" "${1:-10}" "${2:-10000}" "${3:-0}"
