#!/bin/sh
# The README's test command, and what CI runs: installs what the tests need,
# then builds three trees (scripts/trees.sh) and runs every test in each:
#   build/release  every test, the real-host matrix and the demo's check, then
#                  a short run of every benchmark
#   build/clang    every test that runs instrumented, under ASan and UBSan,
#                  and a 45-second libFuzzer run each of fuzz_host and fuzz_ui
#   build/aarch64  every test under qemu-aarch64
# then scripts/cross_test.sh compares output digests across them, and last
# the release is checked: the Debian packages built by dpkg-buildpackage (the
# source package, amd64, and arm64 cross-built), and the pedal face.
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
echo "== Debian packages (source, amd64, arm64 cross-built and under qemu), MOD pedal face =="
release_start=$(date +%s)
# The native package build skips its own tests (nocheck): they are the quick
# tests of a release tree, which ran above in build/release on the same
# sources, and check_packages.sh compares the packaged module's output bits
# with that tree's.
DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }nocheck" sh scripts/package.sh
sh scripts/check_packages.sh
echo "release checks took $(($(date +%s) - release_start)) s"
echo "All tests passed in $(($(date +%s) - start)) s."
