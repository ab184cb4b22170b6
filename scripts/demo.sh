#!/bin/sh
# Builds and installs the plug-in into ./out/lib/lv2, then runs a guitar-like
# signal with mains hum through it in lv2apply and reports what came out.
# Usage: scripts/demo.sh [50|60]   (mains frequency, default 60)
set -eu
cd "$(dirname "$0")/.."
MAINS="${1:-60}"
# Only what the demo needs; scripts/test.sh installs the rest.
sh scripts/deps.sh g++ make cmake lv2-dev lilv-utils python3-numpy python3-soundfile
# Only the plug-in, in a tree of its own: the test trees have their own folders
# and dependencies.
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DCALVORINE_TESTS=OFF \
  -DCALVORINE_HOST_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -rf out/lib/lv2/calvorine_utility.lv2
cmake --install build/demo --prefix "$PWD/out" >/dev/null
mkdir -p out/demo
export LV2_PATH="$PWD/out/lib/lv2:/usr/lib/lv2"
echo "Installed $(lv2ls | grep calvorine) into out/lib/lv2"
/usr/bin/python3 scripts/demo.py out/demo "$MAINS"
