#!/bin/sh
# Builds and installs the plug-in into ./out/lv2, then runs a guitar-like
# signal with mains hum through it in lv2apply and reports what came out.
# Usage: scripts/demo.sh [50|60]   (mains frequency, default 60)
set -eu
cd "$(dirname "$0")/.."
MAINS="${1:-60}"
sh scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -rf out/lv2 && cmake --install build/release --prefix "$PWD/out" >/dev/null
mkdir -p out/demo
export LV2_PATH="$PWD/out/lib/lv2:/usr/lib/lv2"
echo "Installed $(lv2ls | grep calvorine) into out/lib/lv2"
/usr/bin/python3 scripts/demo.py out/demo "$MAINS"
