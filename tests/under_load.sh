#!/usr/bin/env bash
# tests/under_load.sh COMMAND [ARG...]
# Runs COMMAND while a busy loop keeps each processor busy (two at least),
# and exits with its status. A race that an idle machine hides shows here:
# every wait in a test must hold however late the other side gets to run.
set -uo pipefail
[ $# -ge 1 ] || { echo "usage: tests/under_load.sh COMMAND [ARG...]" >&2; exit 2; }

loops=$(nproc)
[ "$loops" -ge 2 ] || loops=2
busy=()
stop_load() {
    [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null
    wait "${busy[@]}" 2>/dev/null
    busy=()
}
trap stop_load EXIT
trap 'stop_load; exit 130' INT
trap 'stop_load; exit 143' TERM
for _ in $(seq "$loops"); do
    ( while :; do :; done ) &
    busy+=("$!")
done

"$@"
status=$?
stop_load
exit "$status"
