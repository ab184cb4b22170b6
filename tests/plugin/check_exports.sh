#!/bin/sh
# Fails unless the module's dynamic symbol table defines lv2_descriptor and
# nothing else.
set -eu
so="$1"
syms=$(nm -D --defined-only "$so" | awk '{print $3}' | sort)
if [ "$syms" != "lv2_descriptor" ]; then
  echo "exported symbols of $so:" >&2
  echo "$syms" >&2
  exit 1
fi
echo "only lv2_descriptor is exported"
