# Sourced by the scripts here and in bench/: installs the Debian packages
# they need and configures and builds a build folder.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the named packages are missing; apt-get update runs
# only when something is.
need_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}" >&2
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# keymon alone, on classic SDL 1.2 (KEYMON_SDL=compat adds the SDL2-based runtime).
keymon_packages=(g++ cmake make pkg-config libsdl1.2-dev)
# keymon, and keymon-compare with the Xorg and the sway it runs real keyboard layouts in.
monitor_packages=(g++ cmake make pkg-config libsdl1.2-dev libsdl1.2-compat libx11-dev libxtst-dev libxkbcommon-dev libxkbregistry-dev nlohmann-json3-dev
                  libwayland-dev libwayland-bin
                  xserver-xorg-core xserver-xorg-video-dummy xkb-data x11-xkb-utils sway xwayland x11-xserver-utils)
test_packages=(libgtest-dev xvfb xauth clang libclang-rt-14-dev chromium zlib1g-dev libxkbcommon-tools mmdebstrap)
demo_packages=(xvfb xdotool x11-utils)
# Building the Debian packages (with the build dependencies in debian/control), and checking them.
package_packages=(dpkg-dev debhelper lintian cmake pkg-config libsdl1.2-dev libx11-dev libxtst-dev libxkbcommon-dev libxkbregistry-dev nlohmann-json3-dev
                  libwayland-dev libwayland-bin)
# The codec benchmark and its peers.
bench_packages=(libbenchmark-dev libicu-dev libutf8proc-dev libutfcpp-dev)

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
