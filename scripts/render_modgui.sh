#!/bin/sh
# Draws the pedal face's knob and renders its screenshot and thumbnail the way
# MOD's web interface fills in the template, in headless Chromium, into
# bundle/modgui/ (commit them). BUILD_DIR (default build/release) holds the
# bundle whose Turtle gives the ports.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build/release}
[ -f "$BUILD_DIR/CMakeCache.txt" ] ||
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCALVORINE_TESTS=OFF >/dev/null
/usr/bin/python3 scripts/modgui.py knob bundle/modgui
# Building copies the template, stylesheet and knob into the bundle.
cmake --build "$BUILD_DIR" --target calvorine_utility >/dev/null
/usr/bin/python3 scripts/modgui.py render "$BUILD_DIR/lv2/calvorine_utility.lv2" bundle/modgui
cmake --build "$BUILD_DIR" --target calvorine_utility >/dev/null
echo "bundle/modgui: knob.svg, screenshot.png, thumbnail.png"
