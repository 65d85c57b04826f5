#!/usr/bin/env bash
# Builds and runs the consumer program three ways: against an installed
# prefix through find_package, through pkg-config, and through
# add_subdirectory. The codec is configured on its own, with SDL, X11 and
# pkg-config made unfindable, to show it needs none of them.
# Usage: routes.sh KEYMON_SOURCE_DIR WORK_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rm -rf "$work"
mkdir -p "$work"
icu=$(pkg-config --variable=includedir icu-uc 2>/dev/null || echo /usr/include)
jobs=$(nproc)

step() { echo "== $*"; }

step "the codec alone: no SDL, no X11, no pkg-config"
cmake -S "$src" -B "$work/codec" -DKEYMON_PROGRAM=OFF -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON >/dev/null
if grep -E '^(X11_X11_LIB|SDL_[A-Z_]*|PKG_CONFIG_EXECUTABLE):' "$work/codec/CMakeCache.txt"; then
    echo "the codec alone looked for SDL, X11 or pkg-config"; exit 1
fi
cmake --build "$work/codec" -j"$jobs" >/dev/null
cmake --install "$work/codec" --prefix "$work/prefix" >/dev/null
for f in include/keymon/unicode/utf.h include/keymon/unicode/locale_char.h; do
    [ -f "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
if find "$work/prefix" -type f \( -name 'keymon*' ! -name 'keymon-unicode*' -o -name '*.1' \) | grep .; then
    echo "the codec's install put keymon's program or man pages in the prefix"; exit 1
fi

step "find_package(KeymonUnicode) from the installed prefix"
cmake -S "$here" -B "$work/find" -DCMAKE_PREFIX_PATH="$work/prefix" -DICU_INCLUDE_DIR="$icu" >/dev/null
cmake --build "$work/find" -j"$jobs" >/dev/null
"$work/find/consumer"

step "pkg-config --cflags --libs keymon-unicode"
flags=$(PKG_CONFIG_PATH="$(dirname "$(find "$work/prefix" -name keymon-unicode.pc)")" \
        pkg-config --cflags --libs keymon-unicode)
echo "g++ -std=c++20 consumer.cpp -I$icu $flags"
# shellcheck disable=SC2086
g++ -std=c++20 "$here/consumer.cpp" -I"$icu" $flags -o "$work/pkg-consumer"
"$work/pkg-consumer"

step "add_subdirectory of the source tree"
cmake -S "$here" -B "$work/sub" -DKEYMON_SOURCE_DIR="$src" -DICU_INCLUDE_DIR="$icu" >/dev/null
cmake --build "$work/sub" -j"$jobs" >/dev/null
"$work/sub/consumer"
# Only the codec is built, no test is added, nothing of keymon is installed.
built=$(find "$work/sub/keymon" -type f \( -name '*.a' -o -perm -u+x \) ! -path '*CMakeFiles*' | sort)
[ "$built" = "$work/sub/keymon/unicode/libkeymon-unicode.a" ] || { echo "add_subdirectory built more: $built"; exit 1; }
(cd "$work/sub" && ctest -N | grep -q "Total Tests: 0") || { echo "add_subdirectory added tests"; exit 1; }
cmake --install "$work/sub" --prefix "$work/sub-prefix" >/dev/null
installed=$(cd "$work/sub-prefix" && find . -type f | sort)
[ "$installed" = "./bin/consumer" ] || { echo "add_subdirectory installed more: $installed"; exit 1; }
echo "all three routes build and run"
