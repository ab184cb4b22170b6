#!/bin/sh
# Builds the plug-in and its tests for aarch64 (run under qemu-aarch64) and
# with clang, and checks that every build gives the same output bits: the
# digest of a fixed set of scenarios must match the x86-64 GCC build's, with
# the pipelined kernels on and off.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)

configure_build() {
  dir="$1"; shift
  cmake -S . -B "$dir" -DCALVORINE_WERROR=ON -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
digest() {  # build dir, then the command prefix (an emulator) if any
  dir="$1"; shift
  "$@" "$dir/tools/digest_run" "$dir/calvorine_utility.lv2/calvorine_utility.so"
}

echo "== x86-64 GCC, pipelined and straightforward =="
configure_build build/cross-x86 -DCALVORINE_TESTS=OFF
configure_build build/cross-x86-straight -DCALVORINE_TESTS=OFF -DCALVORINE_PIPELINE=OFF

echo "== clang build and tests =="
CXX=clang++ configure_build build/clang
(cd build/clang && ctest --output-on-failure -j "$JOBS")

echo "== aarch64 cross build and tests under qemu-aarch64 =="
configure_build build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake \
  -DCALVORINE_HOST_TESTS=OFF
(cd build/aarch64 && ctest --output-on-failure -j "$JOBS")

echo "== output digests =="
ref=$(digest build/cross-x86)
fail=0
for spec in "x86-64 GCC, straightforward:build/cross-x86-straight" "x86-64 clang:build/clang" \
            "aarch64 GCC (qemu):build/aarch64:qemu-aarch64 -L /usr/aarch64-linux-gnu"; do
  name=${spec%%:*}; rest=${spec#*:}; dir=${rest%%:*}; emu=""
  [ "$rest" != "$dir" ] && emu=${rest#*:}
  # shellcheck disable=SC2086  # the emulator command is several words
  got=$(digest "$dir" $emu)
  if [ "$got" = "$ref" ]; then
    echo "same bits: $name ($got)"
  else
    echo "DIFFERENT: $name gives '$got', x86-64 GCC pipelined gives '$ref'" >&2
    fail=1
  fi
done
[ "$fail" -eq 0 ] && echo "All builds give the same output bits."
exit "$fail"
