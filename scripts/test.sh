#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs the
# whole suite, keymon-compare's end-to-end tests a second time under load;
# builds the Debian packages and checks them; then builds it
# again with clang, AddressSanitizer and UndefinedBehaviorSanitizer, adds the
# codec's fuzzer, and runs it all once more. Exits non-zero on any failure.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

need_packages "${monitor_packages[@]}" "${test_packages[@]}" "${bench_packages[@]}" "${package_packages[@]}"
configure_and_build "$build" -DBUILD_TESTING=ON -DKEYMON_WERROR=ON
(cd "$build" && ctest --output-on-failure -j"$(nproc)")
echo "== keymon-compare's end-to-end tests again, shuffled, with every processor kept busy" >&2
bash "$root/tests/under_load.sh" "$build/tests/keymon_compare_test" --gtest_shuffle \
    --gtest_filter=-KeymonCompare.TheSameCommandGivesTheSameReportOnEveryRun

echo "== the Debian packages: built, checked with lintian, unpacked and tried" >&2
bash "$root/scripts/package.sh"
bash "$root/tests/packages.sh" "$build/packages"
echo "== the package on Debian 13: installed in a Debian 13 root and run there" >&2
bash "$root/tests/debian13.sh" "$build/packages"

echo "== the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzer" >&2
CC=clang CXX=clang++ configure_and_build "$root/build-sanitize" -DBUILD_TESTING=ON -DKEYMON_WERROR=ON \
    -DKEYMON_SANITIZE=ON -DKEYMON_FUZZ=ON
(cd "$root/build-sanitize" && ctest --output-on-failure -j"$(nproc)")
