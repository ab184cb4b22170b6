#!/bin/sh
# The README's test command, and what CI runs: installs what the tests need,
# then builds three trees (scripts/trees.sh) and runs every test in each:
#   build/release  every test, the real-host matrix and the demo's check, then
#                  a short run of every benchmark
#   build/clang    every test that runs instrumented, under ASan and UBSan,
#                  and a 45-second libFuzzer run each of fuzz_host and fuzz_ui
#   build/aarch64  every test under qemu-aarch64
# then scripts/cross_test.sh compares output digests across them, and last
# the release is checked: both Debian packages, the source tarball and the
# pedal face.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
sh scripts/deps.sh
. scripts/trees.sh

tree release
run_tests release
echo "== benchmark smoke run (figures are indicative only) =="
sh benchmarks/smoke.sh build/release

tree clang
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_tests clang

sh scripts/cross_test.sh
echo "== Debian packages (amd64, arm64 under qemu), source tarball, MOD pedal face =="
release_start=$(date +%s)
sh scripts/package.sh
sh scripts/check_packages.sh
echo "release checks took $(($(date +%s) - release_start)) s"
echo "All tests passed in $(($(date +%s) - start)) s."
