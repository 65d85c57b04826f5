#!/usr/bin/env bash
# How long the README's run command takes on a new machine: for each commit
# given, a fresh Debian 12 root with only a compiler and CMake (as the base
# image has), the commit's tree in it, and `bash scripts/run.sh` timed there
# with the packages it installed counted. As root; needs mmdebstrap.
# Usage: bench/run_fresh.sh COMMIT...
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "run_fresh.sh: run it as root (it makes and enters roots)" >&2; exit 2; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=${KEYMON_BENCH_DIR:-/var/tmp/keymon-run-fresh}
mkdir -p "$work"
mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
base="$work/base.tar"
[ -s "$base" ] || mmdebstrap --variant=apt --include=g++,cmake,make,ca-certificates bookworm "$base" "$mirror" >&2
base_packages=$(tar -xOf "$base" ./var/lib/dpkg/status | grep -c '^Status: install ok installed')
echo "| commit | seconds | packages installed |"
echo "|---|---:|---:|"
for rev in "$@"; do
    root=$(mktemp -d "$work/root.XXXXXX")
    tar -C "$root" -xf "$base"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    mkdir -p "$root/root/keymon"
    git -C "$repo" archive "$rev" | tar -C "$root/root/keymon" -x
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    start=$(date +%s.%N)
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        bash -c 'cd /root/keymon && bash scripts/run.sh' >"$work/run-$rev.log" 2>&1 || echo "$rev: run.sh failed, see $work/run-$rev.log" >&2
    end=$(date +%s.%N)
    installed=$(chroot "$root" dpkg -l | grep -c '^ii')
    # Whatever the demonstration left running in the root ends with it.
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
    done
    umount -R -l "$root/dev" "$root/proc"
    rm -rf --one-file-system "$root"
    echo "| $rev | $(echo "$end - $start" | bc | xargs printf '%.1f') | $((installed - base_packages)) |"
done
