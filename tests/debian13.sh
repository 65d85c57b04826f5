#!/usr/bin/env bash
# The built package on Debian 13 for real: a Debian 13 root (made once with
# mmdebstrap and kept outside the tree, so a second run on the same machine
# is fast), the package installed there with apt, and keymon-compare run
# there: its message with no classic runtime, --fetch-runtime classic (whose
# stack brings the sound and console libraries the root lacks), an Xorg
# comparison under de with unstable's stack beside, and the Wayland session
# with Debian 13's sway and Xwayland. As root. Usage: debian13.sh PACKAGE_DIR
set -euo pipefail
dir=$(cd "$1" && pwd)
fail() { echo "debian13: $*" >&2; exit 1; }
step() { echo "== debian13: $*"; }
[ "$(id -u)" -eq 0 ] || fail "it makes and enters a root: run it as root"
deb=$(echo "$dir"/keymon_*.deb)
[ -f "$deb" ] || fail "no keymon package in $dir"

cache=${KEYMON_TEST_CACHE:-/var/cache/keymon-tests}
mkdir -p "$cache"
# Named by what it holds: a root made with another list is made again.
tar="$cache/debian13-root-desktop.tar"
mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
if [ ! -s "$tar" ]; then
    step "making a Debian 13 root (once)"
    # What a Debian 13 desktop has for keymon-compare: no sound or console
    # libraries, which classic SDL 1.2 would need from the system.
    mmdebstrap --variant=apt --format=tar --include=ca-certificates,debian-archive-keyring,libsdl1.2debian,xserver-xorg-core,xserver-xorg-video-dummy,x11-xkb-utils,xkb-data,x11-xserver-utils,sway,xwayland \
        trixie "$tar.part" "$mirror" >"$cache/mmdebstrap.log" 2>&1 || { tail -n 20 "$cache/mmdebstrap.log" >&2; fail "mmdebstrap failed"; }
    mv "$tar.part" "$tar"
fi

root=$(mktemp -d /var/tmp/keymon-debian13.XXXXXX)
cleanup() {
    # Whatever still runs in the root ends first; the mounts are detached
    # even when busy, and the removal never crosses into another file
    # system (the host's /dev).
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
    done
    umount -R -l "$root/dev" 2>/dev/null || true
    umount -l "$root/proc" "$root/sys" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$tar"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The root reaches this machine's mirror as this machine does: a mirror that
# serves a snapshot needs its Release files' expiry ignored here too.
apt-config dump | grep -E '^Acquire::Check-Valid-Until ' >"$root/etc/apt/apt.conf.d/50this-machines-mirror" || true
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "installing $(basename "$deb") with apt"
in_root apt-get update -q >/dev/null
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" >"$root/tmp/install.log" 2>&1 ||
    { tail -n 20 "$root/tmp/install.log" >&2; fail "apt cannot install the package"; }

# Runs keymon-compare in the root; sets status and out.
compare() {
    set +e
    out=$(in_root keymon-compare "$@" 2>&1)
    status=$?
    set -e
}
expect() {  # STATUS TEXT...
    local want=$1
    shift
    [ "$status" -eq "$want" ] || fail "keymon-compare ended with status $status, not $want: $out"
    for text in "$@"; do
        grep -qF -- "$text" <<<"$out" || fail "keymon-compare did not say '$text': $out"
    done
}

step "no classic runtime: the message names the way to fetch it"
compare a
expect 2 "classic SDL 1.2 is not installed" "this system's libSDL-1.2.so.0 is the SDL2-based SDL 1.2.68 over SDL2 2.32" \
    "keymon-compare --fetch-runtime classic"
grep -q "libsdl1.2-compat" <<<"$out" && fail "the message names a package Debian 13 lacks: $out"

step "--fetch-runtime classic and unstable: Debian 12's and unstable's stacks"
in_root dpkg -s libcaca0 >/dev/null 2>&1 && fail "the root has libcaca0: classic's stack would not be what brings it"
compare --fetch-runtime classic --fetch-runtime unstable
expect 0 "fetched classic: classic SDL 1.2.15 (Debian 12, glibc 2.36)" "fetched unstable: SDL2-based SDL 1.2.78 over sdl2-compat"

step "the default comparison under de: classic's stack against the system's 1.2.68 over SDL2 2.32"
compare --layout de
expect 1 "classic: " ", classic SDL 1.2.15 (Debian 12, glibc 2.36)" "SDL2-based: /usr/lib/x86_64-linux-gnu/libSDL-1.2.so" \
    ", SDL2-based SDL 1.2.68 over SDL2 2.32" "layout de (from --layout): "
echo "$out" | tail -n 3

step "the Xorg session under de: 1.2.15 against 1.2.68 over SDL2 2.32 and unstable's stack"
compare --layout de --runtime classic --runtime compat --runtime unstable
expect 1 "classic: " ", classic SDL 1.2.15 (Debian 12, glibc 2.36)" "SDL2-based: /usr/lib/x86_64-linux-gnu/libSDL-1.2.so" \
    ", SDL2-based SDL 1.2.68 over SDL2 2.32" "(this system, glibc 2.41)" "(Debian unstable, glibc 2.4" \
    "from SDL2-based SDL 1.2 to unstable (sdl12 1.2.68 → 1.2.78" "layout de (from --layout): "
echo "$out" | tail -n 4

step "the Wayland session under de, with Debian 13's sway and Xwayland"
compare --session wayland --layout de
expect 1 "classic (Xwayland): " "SDL2-based (Wayland): " ", SDL2-based SDL 1.2.68 over SDL2 2.32"
echo "$out" | tail -n 4
step "passed"
