#!/usr/bin/env bash
# Installs what keymon needs and is missing, builds keymon alone, and runs
# it. With no X display to reach, runs it in a private virtual X server and
# types a demonstration. KEYMON_SDL=compat picks the SDL2-based SDL 1.2
# runtime instead of classic.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

compat=$([ "${KEYMON_SDL:-classic}" = compat ] && echo libsdl1.2-compat || true)
need_packages "${keymon_packages[@]}" x11-utils $compat
# A folder of its own: the test command's build has the tools in it too.
build="$root/build-keymon"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DKEYMON_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target keymon >&2
keymon="$build/keymon/keymon"
if [ -n "$compat" ]; then
    export LD_LIBRARY_PATH="/usr/lib/$(gcc -dumpmachine)/sdl12-compat${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
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
# keymon names its window as the last step of its start-up: a window of its
# that has a name takes keys (keys typed any earlier could be dropped).
window=$(timeout 15 xdotool search --sync --all --pid "$pid" --name . | head -n 1)
[ -n "$window" ] || { echo "keymon: its window did not appear" >&2; kill "$pid"; exit 1; }
xdotool windowfocus --sync "$window"
echo "keymon: typing: k e y m o n, Shift+1, Return, keypad Enter, F1, space, Euro sign, Escape" >&2
xdotool key --delay 40 k e y m o n exclam Return KP_Enter F1 space EuroSign Escape
wait "$pid"
