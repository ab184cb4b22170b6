#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, or,
# when packages are named as arguments, just those (scripts/demo.sh names its
# own short list).
# Runs apt-get as root (directly, or through sudo when available).
set -eu
# fluidsynth, its GM soundfont and mido render the guitar takes the hum-quality
# tool and its check play (tools/guitar_takes.py).
PKGS="cmake g++ make pkg-config lv2-dev liblilv-dev lilv-utils sordi libsndfile1-dev
  libgtest-dev libbenchmark-dev clang clang-format libclang-rt-14-dev valgrind git
  python3 python3-numpy python3-soundfile python3-scipy
  fluidsynth fluid-soundfont-gm python3-mido"
# Real LV2 hosts for the host matrix (tests/hosts; Ardour is about 111 MB),
# PipeWire for the config it tests in a private daemon (no session manager),
# matplotlib for scripts/plot_responses.sh and the demo, and the CC0 guitar
# takes the demo and its test play.
HOST_PKGS="lv2file lv2proc ffmpeg jackd2 jack-capture sndfile-tools jalv ardour ecasound
  pipewire pipewire-bin
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  python3-matplotlib python3-pil sonic-pi-samples"
# The X11 UI (Xlib, cairo) and its tests: XTest, a virtual X server, xdotool,
# xwininfo and ImageMagick's import for screenshots, and the Qt 5 X11 extras
# that suil's X11-in-Qt5 wrapper loads for jalv.qt5 (jalv does not pull them in).
UI_PKGS="libx11-dev libcairo2-dev libxtst-dev xvfb xdotool x11-utils imagemagick
  libqt5x11extras5"
# Cross build for aarch64 pedalboards, tested under emulation.
CROSS_PKGS="g++-aarch64-linux-gnu binutils-aarch64-linux-gnu libc6-dev-arm64-cross qemu-user"
# Debian's package tools and checker for scripts/check_packages.sh (scripts/package.sh
# installs the packages' build dependencies itself, from debian/control, the
# arm64 ones through multiarch), and headless Chromium for the MOD pedal face
# (scripts/modgui.py).
RELEASE_PKGS="dpkg-dev lintian chromium chromium-driver python3-selenium python3-pystache
  python3-pil fonts-dejavu-core"
PKGS="$PKGS $HOST_PKGS $UI_PKGS $CROSS_PKGS $RELEASE_PKGS"
[ "$#" -gt 0 ] && PKGS="$*"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
# env passes DEBIAN_FRONTEND through sudo (jackd2 asks a debconf question);
# the lock timeout waits for another apt or dpkg run instead of failing.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
  --no-install-recommends $missing >/dev/null
