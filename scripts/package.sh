#!/usr/bin/env bash
# Builds the Debian packages keymon and libkeymon-unicode-dev with
# dpkg-buildpackage from a copy of the tree, and leaves them in
# build/packages/. Installs the build tools and build dependencies first.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

need_packages "${package_packages[@]}"
out="$build/packages"
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
tree="$out/keymon-${version%-*}"
rm -rf "$out"
mkdir -p "$tree"
# dpkg-buildpackage writes beside the tree it builds: copy what git tracks
# (or, outside a checkout, the tree without its build folders).
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$root" ls-files -z --cached --others --exclude-standard |
        (cd "$root" && xargs -0 cp --parents -t "$tree")
else
    tar -C "$root" --exclude='./build*' -cf - . | tar -C "$tree" -xf -
fi
(cd "$tree" && dpkg-checkbuilddeps && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log" >&2; echo "package.sh: dpkg-buildpackage failed; the log is $out/build.log" >&2; exit 1; }
rm -rf "$tree"
ls "$out"/*.deb
