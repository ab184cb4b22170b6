#!/bin/sh
# Builds the plug-in twice (release, and ASan+UBSan) and runs every test, then
# gives the libFuzzer host target a bounded run.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)

build() {
  dir="$1"; shift
  cmake -S . -B "$dir" -DCALVORINE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  (cd "$dir" && ctest --output-on-failure -j "$JOBS")
}

echo "== release build =="
build build/release -DCMAKE_BUILD_TYPE=Release
echo "== benchmark smoke run (figures are indicative only) =="
sh benchmarks/smoke.sh build/bench-smoke
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALVORINE_SANITIZE=ON
echo "== fuzz smoke run (clang, libFuzzer + ASan/UBSan, about a minute) =="
CXX=clang++ build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALVORINE_FUZZ=ON \
  -DCALVORINE_TESTS=OFF
echo "== clang and aarch64 (qemu) builds, same output bits everywhere =="
sh scripts/cross_test.sh
echo "== Debian packages (amd64, arm64 under qemu), source tarball, MOD pedal face =="
release_start=$(date +%s)
sh scripts/package.sh
sh scripts/check_packages.sh
echo "release checks took $(($(date +%s) - release_start)) s"
echo "All tests passed."
