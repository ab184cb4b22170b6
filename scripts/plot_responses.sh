#!/bin/sh
# Builds the plug-in and draws its magnitude responses into docs/img/ from the
# built module itself (an impulse through the real .so, then an FFT).
# Usage: scripts/plot_responses.sh [OUTDIR]   (default docs/img)
# BUILD_DIR picks the build tree (default build/release).
set -eu
cd "$(dirname "$0")/.."
OUTDIR="${1:-docs/img}"
BUILD_DIR="${BUILD_DIR:-build/release}"
sh scripts/deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCALVORINE_HOST_TESTS=ON >/dev/null
cmake --build "$BUILD_DIR" -j 2 --target calvorine_utility utility_host >/dev/null
/usr/bin/python3 scripts/plot_responses.py "$BUILD_DIR/tools/utility_host" \
  "$BUILD_DIR/lv2/calvorine_utility.lv2/calvorine_utility.so" "$OUTDIR"
