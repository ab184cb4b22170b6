#!/bin/sh
# Same output bits everywhere: builds and tests the aarch64 tree (under
# qemu-aarch64), then compares a digest of the module's output on fixed
# scenarios (tools/digest_run) across builds: GCC and clang, x86-64 and
# aarch64, the pipelined kernels against the straightforward path. The
# x86-64 module also runs under qemu-x86_64 as CPUs without AVX-512 (and
# without AVX2), so that every x86 kernel, not only the best one this machine
# has, is compared end to end (the Haswell model drops the system features
# qemu cannot emulate, which it would otherwise warn about).
# Builds the release and clang trees too when scripts/test.sh has not.
set -eu
cd "$(dirname "$0")/.."
start=$(date +%s)
sh scripts/deps.sh
. scripts/trees.sh
[ -x build/release/tools/digest_run ] || tree release
[ -x build/clang/tools/digest_run ] || tree clang
tree aarch64
run_tests aarch64

VERBOSE=""
# digest MODULE_DIR TREE [EMULATOR...]: the digest of one build's module
digest() {
  module="$1"; build="$2"; shift 2
  # shellcheck disable=SC2086  # empty or -v
  "$@" "$build/tools/digest_run" "$module/calvorine_utility.so" $VERBOSE
}

# same NAME REF_MODULE_DIR REF_TREE REF_EMU MODULE_DIR TREE EMU: the digests of
# two builds, each run under its emulator (if any), must match; on a
# difference, list the scenarios that differ.
fail=0
n=0
same() {
  name="$1"; refmod="$2"; reftree="$3"; refemu="$4"; mod="$5"; tree="$6"; emu="$7"
  n=$((n + 1))
  # shellcheck disable=SC2086  # an emulator command is several words
  ref=$(digest "$refmod" "$reftree" $refemu)
  # shellcheck disable=SC2086
  got=$(digest "$mod" "$tree" $emu)
  if [ "$got" = "$ref" ]; then
    echo "same bits: $name ($got)"
    return
  fi
  echo "DIFFERENT: $name gives '$got', against '$ref'; scenarios that differ:" >&2
  VERBOSE=-v
  # shellcheck disable=SC2086
  digest "$refmod" "$reftree" $refemu >"$tree/digest-ref-$n.txt" || true
  # shellcheck disable=SC2086
  digest "$mod" "$tree" $emu >"$tree/digest-got-$n.txt" || true
  VERBOSE=""
  diff "$tree/digest-ref-$n.txt" "$tree/digest-got-$n.txt" >&2 || true
  fail=1
}

rel=build/release
bundle=lv2/calvorine_utility.lv2
echo "== output digests against x86-64 GCC, pipelined with this CPU's best kernel =="
same "x86-64 GCC, straightforward path" $rel/$bundle $rel "" $rel/straight $rel ""
same "x86-64 clang (ASan, UBSan)" $rel/$bundle $rel "" build/clang/$bundle build/clang ""
same "aarch64 GCC, NEON kernel (qemu-aarch64)" $rel/$bundle $rel "" \
  build/aarch64/$bundle build/aarch64 "qemu-aarch64 -L /usr/aarch64-linux-gnu"
# glibc's libm picks its code by CPU as well (with or without FMA, whose
# sincos and exp differ in the last bit on rare arguments), so each emulated
# CPU's kernel is compared with the straightforward path on that same CPU.
echo "== the other x86-64 kernels, against the straightforward path on the same emulated CPU =="
for cpu in "Haswell-noTSX,-pcid,-x2apic,-tsc-deadline,-invpcid:AVX2" "Nehalem:SSE2"; do
  model=${cpu%%:*}; emu="qemu-x86_64 -cpu $model"
  same "x86-64 GCC, ${cpu#*:} kernel (qemu-x86_64, ${model%%-*} CPU)" \
    $rel/straight $rel "$emu" $rel/$bundle $rel "$emu"
done
[ "$fail" -eq 0 ] && echo "All builds give the same output bits."
echo "cross_test.sh took $(($(date +%s) - start)) s"
exit "$fail"
