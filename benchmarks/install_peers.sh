#!/bin/sh
# Installs the LV2 plug-ins bench_peers compares against (Debian packages).
# Kept out of the default package list: CI's smoke run needs none of them
# (bench_peers says which are absent and times ours alone).
set -eu
exec sh "$(dirname "$0")/../scripts/deps.sh" lsp-plugins-lv2 zam-plugins x42-plugins \
  ardour-lv2-plugins lv2-examples
