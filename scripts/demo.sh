#!/bin/sh
# Builds the plug-in, installs it into ./out/lib/lv2 and runs a guitar through
# it in a real LV2 host (lv2file): with the hum filter on, as six notches and
# as tracking (hum_track), then with a voicing. Prints what each mode removed
# and what it took from the guitar, and draws before/notches/tracking
# spectrograms.
# Usage: scripts/demo.sh [FILE] [50|60]
#   FILE    your own recording (anything libsndfile reads), processed as it is;
#           without it, CC0 guitar takes from Debian's sonic-pi-samples with
#           added mains hum, and with a buzz, whose frequency wanders slowly
#   50|60   mains frequency (default 60)
set -eu
usage() { echo "usage: $0 [FILE] [50|60]" >&2; exit 2; }
FILE=""
MAINS=60
for arg in "$@"; do
  case "$arg" in
    50|60) MAINS="$arg" ;;
    *)
      [ -z "$FILE" ] || usage
      [ -f "$arg" ] && [ -r "$arg" ] || { echo "$arg: no such readable file" >&2; usage; }
      FILE="$(cd "$(dirname "$arg")" && pwd)/$(basename "$arg")" ;;
  esac
done
cd "$(dirname "$0")/.."
START=$(date +%s)
URI="https://calvorine.audio/calvorine-suite/utility"

# Only what the demo needs; scripts/test.sh installs the rest.
echo "==> Checking the Debian packages the demo needs (installing any that are missing)"
sh scripts/deps.sh g++ make cmake lv2-dev lv2file python3-numpy python3-soundfile \
  python3-scipy python3-matplotlib python3-pil sonic-pi-samples

# Only the plug-in, in a tree of its own: the test trees have their own folders
# and dependencies.
echo "==> Building the plug-in in build/demo"
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DCALVORINE_TESTS=OFF \
  -DCALVORINE_HOST_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

echo "==> Installing it into out/lib/lv2"
rm -rf out/lib/lv2/calvorine_utility.lv2
cmake --install build/demo --prefix "$PWD/out" >/dev/null
export LV2_PATH="$PWD/out/lib/lv2:/usr/lib/lv2"
lv2file -l | grep -q "[[:space:]]$URI\$" || { echo "lv2file does not see $URI" >&2; exit 1; }

rm -rf out/demo
if [ -n "$FILE" ]; then
  /usr/bin/python3 scripts/demo.py out/demo "$MAINS" --file "$FILE"
else
  /usr/bin/python3 scripts/demo.py out/demo "$MAINS"
fi
echo "Done in $(($(date +%s) - START)) s."
