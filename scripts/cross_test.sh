#!/bin/sh
# Builds the plug-in and its tests for aarch64 (run under qemu-aarch64) and
# with clang, and checks that every build gives the same output bits: the
# digest of a fixed set of scenarios must match the x86-64 GCC build's, with
# the pipelined kernels on and off. The x86-64 build also runs under
# qemu-x86_64 as CPUs without AVX-512 (and without AVX2), so that every x86
# kernel, not only the best one this machine has, is compared end to end (the
# Haswell model drops the system features qemu cannot emulate, which it would
# otherwise warn about).
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
sh scripts/deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)

configure_build() {
  dir="$1"; shift
  cmake -S . -B "$dir" -DCALVORINE_WERROR=ON -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
VERBOSE=""
digest() {  # build dir, then the command prefix (an emulator) if any
  build="$1"; shift
  # shellcheck disable=SC2086  # empty or -v
  "$@" "$build/tools/digest_run" "$build/lv2/calvorine_utility.lv2/calvorine_utility.so" $VERBOSE
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

# same NAME REFDIR REFEMU DIR EMU: the digests of two builds, each run under its
# emulator (if any), must match; on a difference, list the scenarios that differ.
fail=0
n=0
same() {
  name="$1"; refdir="$2"; refemu="$3"; dir="$4"; emu="$5"; n=$((n + 1))
  # shellcheck disable=SC2086  # an emulator command is several words
  ref=$(digest "$refdir" $refemu)
  # shellcheck disable=SC2086
  got=$(digest "$dir" $emu)
  if [ "$got" = "$ref" ]; then
    echo "same bits: $name ($got)"
    return
  fi
  echo "DIFFERENT: $name gives '$got', against '$ref'; scenarios that differ:" >&2
  VERBOSE=-v
  # shellcheck disable=SC2086
  digest "$refdir" $refemu >"$dir/digest-ref-$n.txt" || true
  # shellcheck disable=SC2086
  digest "$dir" $emu >"$dir/digest-got-$n.txt" || true
  VERBOSE=""
  diff "$dir/digest-ref-$n.txt" "$dir/digest-got-$n.txt" >&2 || true
  fail=1
}

x86=build/cross-x86
straight=build/cross-x86-straight
echo "== output digests against x86-64 GCC, pipelined with this CPU's best kernel =="
same "x86-64 GCC, straightforward path" $x86 "" $straight ""
same "x86-64 clang" $x86 "" build/clang ""
same "aarch64 GCC, NEON kernel (qemu-aarch64)" $x86 "" build/aarch64 \
  "qemu-aarch64 -L /usr/aarch64-linux-gnu"
# glibc's libm picks its code by CPU as well (with or without FMA, whose
# sincos and exp differ in the last bit on rare arguments), so each emulated
# CPU's kernel is compared with the straightforward path on that same CPU.
echo "== the other x86-64 kernels, against the straightforward path on the same emulated CPU =="
for cpu in "Haswell-noTSX,-pcid,-x2apic,-tsc-deadline,-invpcid:AVX2" "Nehalem:SSE2"; do
  model=${cpu%%:*}; emu="qemu-x86_64 -cpu $model"
  same "x86-64 GCC, ${cpu#*:} kernel (qemu-x86_64, ${model%%-*} CPU)" $straight "$emu" $x86 "$emu"
done
[ "$fail" -eq 0 ] && echo "All builds give the same output bits."
echo "cross_test.sh took $(($(date +%s) - start)) s"
exit "$fail"
