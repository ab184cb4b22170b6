# The project's build trees, configured the same way by every script that
# uses them (sourced, not run). `tree NAME` configures and builds one:
#   release  GCC as shipped, with every test, the host matrix, the X11 UI and
#            benchmarks
#   clang    clang with AddressSanitizer, UndefinedBehaviorSanitizer and
#            libFuzzer coverage: every test that runs instrumented, and fuzzing
#   aarch64  cross-built for 64-bit Arm pedalboards, tests under qemu-aarch64
# Each also builds the straightforward-path module (straight/) and
# tools/digest_run, which scripts/cross_test.sh compares across trees.
JOBS=$(nproc 2>/dev/null || echo 2)

tree() {
  name="$1"
  case "$name" in
    release) cxx=g++; set -- -DCMAKE_BUILD_TYPE=Release -DCALVORINE_HOST_TESTS=ON \
      -DCALVORINE_BENCHMARKS=ON -DCALVORINE_UI=ON ;;
    clang) cxx=clang++; set -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALVORINE_FUZZ=ON \
      -DCALVORINE_HOST_TESTS=ON -DCALVORINE_UI=ON ;;
    aarch64) cxx=g++; set -- -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake -DCALVORINE_HOST_TESTS=OFF ;;
    *) echo "unknown tree $name" >&2; return 1 ;;
  esac
  echo "== build/$name: configure and build =="
  CXX=$cxx cmake -S . -B "build/$name" -DCALVORINE_WERROR=ON -DCALVORINE_TESTS=ON "$@" >/dev/null
  # Progress lines go; compiler messages and failures (stderr) stay.
  cmake --build "build/$name" -j "$JOBS" >/dev/null
}

# ctest in a tree, all of its tests, two at a time.
run_tests() {
  echo "== build/$1: tests =="
  (cd "build/$1" && ctest --output-on-failure -j "$JOBS")
}
