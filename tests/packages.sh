#!/usr/bin/env bash
# Checks the Debian packages scripts/package.sh built, without installing
# them: lintian finds no error or warning; each package holds exactly the
# files listed here, with the dependencies the README gives; the unpacked
# keymon-compare runs the unpacked keymon on both runtimes; a program builds
# against the unpacked development package through CMake and pkg-config.
# Usage: packages.sh PACKAGE_DIR
set -euo pipefail
dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
fail() { echo "packages: $*" >&2; exit 1; }
step() { echo "== $*"; }

keymon_deb=$(echo "$dir"/keymon_*.deb)
dev_deb=$(echo "$dir"/libkeymon-unicode-dev_*.deb)
[ -f "$keymon_deb" ] && [ -f "$dev_deb" ] || fail "no keymon and libkeymon-unicode-dev packages in $dir"

step "lintian"
lintian --fail-on error,warning --display-info "$dir"/*.changes

step "what each package holds"
files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sort; }
expect_files() {
    local deb=$1
    shift
    local want
    want=$(printf '%s\n' "$@" | sort)
    [ "$(files "$deb")" = "$want" ] || {
        diff <(echo "$want") <(files "$deb") >&2 || true
        fail "$(basename "$deb") does not hold the listed files (< listed, > in the package)"
    }
}
expect_files "$keymon_deb" ./usr/bin/keymon ./usr/bin/keymon-compare ./usr/libexec/keymon/keymon-sdl-probe \
    ./usr/share/man/man1/keymon.1.gz ./usr/share/man/man1/keymon-compare.1.gz \
    ./usr/share/doc/keymon/changelog.Debian.gz ./usr/share/doc/keymon/copyright ./usr/share/lintian/overrides/keymon
cmake_dir=./usr/lib/$arch/cmake/KeymonUnicode
expect_files "$dev_deb" ./usr/include/keymon/unicode/utf.h ./usr/include/keymon/unicode/locale_char.h \
    "./usr/lib/$arch/libkeymon-unicode.a" "./usr/lib/$arch/pkgconfig/keymon-unicode.pc" \
    "$cmake_dir/KeymonUnicodeConfig.cmake" "$cmake_dir/KeymonUnicodeConfigVersion.cmake" \
    "$cmake_dir/KeymonUnicodeTargets.cmake" "$cmake_dir/KeymonUnicodeTargets-none.cmake" \
    ./usr/share/doc/libkeymon-unicode-dev/changelog.Debian.gz ./usr/share/doc/libkeymon-unicode-dev/copyright \
    ./usr/share/lintian/overrides/libkeymon-unicode-dev

field() { dpkg-deb -f "$1" "$2"; }
has_dependency() {  # DEB FIELD PACKAGE
    field "$1" "$2" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qx "$3" ||
        fail "$(basename "$1"): $2 lacks $3 (it is: $(field "$1" "$2"))"
}
for lib in libsdl1.2debian libx11-6 libxtst6 libxkbcommon0 libxkbregistry0 libwayland-client0 libc6; do has_dependency "$keymon_deb" Depends "$lib"; done
for pkg in libsdl1.2-compat x11-xkb-utils xserver-xorg-core xserver-xorg-video-dummy sway xwayland apt debian-archive-keyring; do
    has_dependency "$keymon_deb" Recommends "$pkg"
    field "$keymon_deb" Depends | grep -q "$pkg" && fail "keymon Depends on $pkg, which only keymon-compare needs"
done
echo "keymon Depends: $(field "$keymon_deb" Depends)"
echo "keymon Recommends: $(field "$keymon_deb" Recommends)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root="$scratch/root"
dpkg-deb -x "$keymon_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"

step "the unpacked keymon-compare and keymon"
version=$("$root/usr/bin/keymon-compare" --version)
[ "$version-1" = "keymon-compare $(field "$keymon_deb" Version)" ] ||
    fail "keymon-compare says '$version', the package is $(field "$keymon_deb" Version)"
# No --keymon: the keymon beside keymon-compare, the unpacked one, is run.
set +e
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/keymon-compare" --all a KP_Enter 2>&1)
status=$?
set -e
echo "$out"
[ "$status" -eq 1 ] || fail "keymon-compare exited $status, not 1 (KP_Enter differs)"
grep -qE '^  a +SDLK_a 0x26 0x61 a +SDLK_a 0x26 0x61 a$' <<<"$out" || fail "no agreeing row for a"
grep -qE '^! KP_Enter +SDLK_KP_ENTER 0x68 0xd "\\r" +SDLK_KP_ENTER 0x0 0xd "\\r"$' <<<"$out" || fail "no differing row for KP_Enter"
# The Wayland session, with the Recommends (sway, xwayland, xhost) installed.
set +e
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/keymon-compare" --session wayland --layout de --all z 2>&1)
status=$?
set -e
echo "$out"
[ "$status" -eq 0 ] || fail "keymon-compare --session wayland exited $status, not 0"
grep -qE '^  z +SDLK_z 0x1d 0x7a z +SDLK_z 0x1d 0x7a z +SDLK_z 0x1d 0x7a z$' <<<"$out" ||
    fail "no agreeing row for z on the three Wayland targets"

step "a program built against the unpacked libkeymon-unicode-dev"
icu=$(pkg-config --variable=includedir icu-uc 2>/dev/null || echo /usr/include)
cmake -S "$here/consumer" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$root/usr" -DICU_INCLUDE_DIR="$icu" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
"$scratch/cmake/consumer"
grep -q "$root/usr/include" "$scratch/cmake/CMakeFiles/consumer.dir/flags.make" ||
    fail "CMake took the codec's headers from somewhere else than the unpacked package"
flags=$(PKG_CONFIG_PATH="$root/usr/lib/$arch/pkgconfig" pkg-config --cflags --libs keymon-unicode)
case "$flags" in *"$root/usr/"*) ;; *) fail "pkg-config points outside the unpacked package: $flags" ;; esac
# shellcheck disable=SC2086
g++ -std=c++20 "$here/consumer/consumer.cpp" -I"$icu" $flags -o "$scratch/pkg-consumer"
"$scratch/pkg-consumer"
echo "packages: all checks passed"
