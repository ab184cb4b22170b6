#!/bin/sh
# Installs the LV2 plug-ins bench_peers compares against (Debian packages).
# Kept out of scripts/deps.sh: CI's smoke run needs none of them (bench_peers
# says which are absent and times ours alone).
set -eu
PKGS="lsp-plugins-lv2 zam-plugins x42-plugins ardour-lv2-plugins lv2-examples"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
$SUDO apt-get update -qq
# shellcheck disable=SC2086  # one word per package
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
