#!/bin/sh
# The README's picture of the UI, taken from the real UI as jalv.gtk3 shows it
# on a private Xvfb display (tests/ui/jalv_ui.py), with a setting that uses
# every stage: voicing 2 (hollow mids) at 0.6, the low-pass blend at 0.35,
# the hum filter on, tracking 50 Hz mains, a small boost and the level down
# 3 dB. With jalv's silent input the tracker stays on the nominal mains,
# which the plug-in reports (--reads) and the readout shows.
# Usage: scripts/ui_screenshot.sh [BUILD_DIR] (default build/release, built
# with the UI and the host tests)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build/release}"
[ -x "$build/tests/ui/ui_render" ] || {
  echo "no $build/tests/ui/ui_render: build with -DCALVORINE_UI=ON -DCALVORINE_HOST_TESTS=ON -DCALVORINE_TESTS=ON" >&2
  exit 1
}
/usr/bin/python3 tests/ui/jalv_ui.py --lv2 "$build/lv2" --render "$build/tests/ui/ui_render" \
  --workdir "$build/ui_screenshot" --screenshot docs/img/ui.png --reads hum_freq=50 \
  pickup_on=1 pickup_type=2 pickup_amount=0.6 lowpass_amount=0.35 hum_on=1 hum_50hz=1 \
  hum_track=1 boost_on=1 boost_db=3 level_db=-3
