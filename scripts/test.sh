#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs the
# whole suite; exits non-zero on any failure.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

need_packages "${monitor_packages[@]}" "${test_packages[@]}"
configure_and_build -DBUILD_TESTING=ON -DKEYMON_WERROR=ON
cd "$build"
ctest --output-on-failure -j"$(nproc)"
