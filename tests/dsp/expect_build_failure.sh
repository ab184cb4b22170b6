#!/bin/sh
# Passes when building TARGET fails with a message that matches PATTERN, so
# that a probe cannot pass by failing for some other reason.
# Usage: expect_build_failure.sh BUILD_DIR TARGET PATTERN
set -u
if out=$(cmake --build "$1" --target "$2" 2>&1); then
  echo "$2 compiled, but the build must refuse it" >&2
  exit 1
fi
echo "$out" | grep -q -- "$3" || {
  echo "$2 failed, but not with '$3':" >&2
  echo "$out" >&2
  exit 1
}
echo "$2: refused ($3)"
