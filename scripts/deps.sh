#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# Runs apt-get as root (directly, or through sudo when available).
set -eu
PKGS="cmake g++ make pkg-config lv2-dev liblilv-dev lilv-utils sordi libsndfile1-dev
  libgtest-dev libbenchmark-dev clang libclang-rt-14-dev valgrind
  python3 python3-numpy python3-soundfile"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
