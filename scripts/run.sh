#!/usr/bin/env bash
# Installs what is missing, builds, and runs keymon. With no X display to
# reach, runs it in a private virtual X server and types a demonstration.
# KEYMON_SDL=compat picks the SDL2-based SDL 1.2 runtime instead of classic.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

need_packages "${monitor_packages[@]}" x11-utils
configure_and_build "$build" -DBUILD_TESTING=OFF >&2
keymon="$build/keymon/keymon"
if [ "${KEYMON_SDL:-classic}" = compat ]; then
    export LD_LIBRARY_PATH="/usr/lib/x86_64-linux-gnu/sdl12-compat${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    exec "$keymon"
fi

need_packages "${demo_packages[@]}"
echo "keymon: no X display is reachable; running in a private Xvfb and typing a demonstration" >&2
exec 3< <(Xvfb -displayfd 1 -screen 0 640x480x24 -nolisten tcp 2>/dev/null)
read -r -t 15 number <&3 || { echo "keymon: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$number"
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null' EXIT

"$keymon" &
pid=$!
window=$(timeout 15 xdotool search --sync --pid "$pid" | head -n 1)
xdotool windowfocus --sync "$window"
# Keys typed while SDL is still setting the window up can be dropped: wait,
# at most 15 s, until the monitor sits idle in its loop's bounded poll.
for _ in $(seq 1500); do
    read -r nr _ nfds timeout _ < "/proc/$pid/syscall" 2>/dev/null || true
    [ "${nr:-}" = 7 ] && [ "${nfds:-}" = 0x1 ] && [ "${timeout:-}" = 0x64 ] && break
    sleep 0.01
done
echo "keymon: typing: k e y m o n, Shift+1, Return, keypad Enter, F1, space, Euro sign, Escape" >&2
xdotool key --delay 40 k e y m o n exclam Return KP_Enter F1 space EuroSign Escape
wait "$pid"
