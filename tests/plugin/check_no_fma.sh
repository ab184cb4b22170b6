#!/bin/sh
# Fails if the module contains fused multiply-add instructions: they round
# once where the arithmetic is defined with two roundings, and would change
# the output bits. (AArch64 compilers fuse by default; x86 ones may with FMA
# or AVX-512 enabled.)
set -eu
objdump="$1"
so="$2"
fused=$("$objdump" -d "$so" |
  grep -cE '[[:space:]](v?fn?m(add|sub)[0-9a-z]*|fml[as])[[:space:]]' || true)
if [ "$fused" -ne 0 ]; then
  echo "$so has $fused fused multiply-add instructions:" >&2
  "$objdump" -d "$so" | grep -E '[[:space:]](v?fn?m(add|sub)[0-9a-z]*|fml[as])[[:space:]]' | head >&2
  exit 1
fi
echo "no fused multiply-add in $so"
