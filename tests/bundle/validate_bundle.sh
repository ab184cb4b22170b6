#!/bin/sh
# Validates the built bundle's Turtle files: each must parse, and together
# they must pass lv2_validate against the installed LV2 schemas.
# Usage: validate_bundle.sh BUNDLE_DIR
set -eu
bundle=$(realpath "$1")
for tool in sordi lv2_validate; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "$tool not found: install the Debian packages sordi and lv2-dev (scripts/deps.sh)" >&2
    exit 1
  }
done
[ -f "$bundle/manifest.ttl" ] && [ -f "$bundle/utility.ttl" ] || {
  echo "no bundle at $bundle" >&2
  exit 1
}
# lv2_validate reports a file it cannot parse but still exits 0, so parse
# each file first (with its own file: URI as base, as hosts load it).
for f in "$bundle"/*.ttl; do
  sordi "$f" "file://$f" >/dev/null || {
    echo "$f: not valid Turtle" >&2
    exit 1
  }
done
# modgui.ttl uses MOD's vocabulary, which lv2_validate does not know; the terms
# it uses are declared in modgui_terms.ttl beside this script.
lv2_validate "$(dirname "$0")/modgui_terms.ttl" "$bundle"/*.ttl
