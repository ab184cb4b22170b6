#!/bin/sh
# Fails if the module contains fused multiply-add instructions: they round
# once where the arithmetic is defined with two roundings, and would change
# the output bits. (AArch64 compilers fuse by default; x86 ones may with FMA
# or AVX-512 enabled.)
#
#   check_no_fma.sh OBJDUMP FILE            passes when FILE has none
#   check_no_fma.sh OBJDUMP FILE --expect   passes when FILE has some (proves
#                                           the pattern on this architecture)
#
# An empty or failed listing (objdump missing, or built for another
# architecture) fails either way: it would otherwise pass for want of code.
set -eu
objdump="$1"
file="$2"
expect="${3:-}"
fused_re='[[:space:]](v?fn?m(add|sub)[0-9a-z]*|fml[as])[[:space:]]'
plain_re='[[:space:]](fmul|v?mul[sp][sd])[[:space:]]'

if ! listing=$("$objdump" -d "$file"); then
  echo "'$objdump' cannot disassemble $file" >&2
  exit 1
fi
if ! echo "$listing" | grep -qE "$plain_re|$fused_re"; then
  echo "no floating-point multiply at all in '$objdump -d $file': wrong objdump?" >&2
  exit 1
fi
fused=$(echo "$listing" | grep -cE "$fused_re" || true)
if [ "$expect" = "--expect" ]; then
  if [ "$fused" -eq 0 ]; then
    echo "no fused multiply-add found in $file, which should have one: the pattern misses them" >&2
    exit 1
  fi
  echo "the pattern finds the $fused fused multiply-add(s) in $file"
  exit 0
fi
if [ "$fused" -ne 0 ]; then
  echo "$file has $fused fused multiply-add instructions:" >&2
  echo "$listing" | grep -E "$fused_re" | head >&2
  exit 1
fi
echo "no fused multiply-add in $file ($(echo "$listing" | grep -cE "$plain_re") plain multiplies)"
